#!/usr/bin/env bash
# Builds the engine-update content of a content host:
#
#   make-engine-content.sh <engine-binary> <version> <base-url> <docroot>
#
# Into <docroot>/ActiveX/update/ it writes
#   ldDownloader.zip / .7z   the whole engine: ldDownload.exe and readme.txt
#   ldDownload.7z            the engine executable alone
#   readme.zip               the second file alone
#   <archive>.hash           the hash list of every archive (hashlist.py)
#   KVX_updater.xml          the manifest: all/all names the zip package,
#                            file/ldDownload.exe the executable's 7z (with
#                            <version> as ver), file/readme.txt its zip
# Archives are made by Info-ZIP zip and 7-Zip (7zz); every URL is absolute,
# <base-url> (e.g. http://127.0.0.1:8080) followed by the path.
set -euo pipefail

engine="${1:?usage: make-engine-content.sh <engine-binary> <version> <base-url> <docroot>}"
version="${2:?version missing}"
base="${3:?base URL missing}"
docroot="${4:?docroot missing}"
here="$(cd "$(dirname "$0")" && pwd)"
base="${base%/}"

[ -f "$engine" ] || { echo "make-engine-content: no engine at $engine" >&2; exit 1; }
case "$version" in
    *[!0-9A-Za-z.,_-]*|"") echo "make-engine-content: unusable version '$version'" >&2; exit 1 ;;
esac
for tool in zip 7zz; do
    command -v "$tool" >/dev/null 2>&1 || { echo "make-engine-content: '$tool' is missing" >&2; exit 1; }
done

out="$docroot/ActiveX/update"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$out"
rm -f "$out"/ldDownloader.zip "$out"/ldDownloader.7z "$out"/ldDownload.7z "$out"/readme.zip \
    "$out"/*.hash "$out"/KVX_updater.xml

cp "$engine" "$stage/ldDownload.exe"
printf 'SwarmFetch stand-in download engine %s\r\n' "$version" >"$stage/readme.txt"

(
    cd "$stage" || exit 1
    zip -q -X "$out/ldDownloader.zip" ldDownload.exe readme.txt
    7zz a -bd -bso0 -t7z "$out/ldDownloader.7z" ldDownload.exe readme.txt
    7zz a -bd -bso0 -t7z "$out/ldDownload.7z" ldDownload.exe
    zip -q -X "$out/readme.zip" readme.txt
)
for archive in ldDownloader.zip ldDownloader.7z ldDownload.7z readme.zip; do
    python3 "$here/hashlist.py" "$out/$archive" "$out/$archive.hash"
done

url="$base/ActiveX/update"
cat >"$out/KVX_updater.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<update>
  <all>
    <all url="$url/ldDownloader.zip" hash="$url/ldDownloader.zip.hash"/>
  </all>
  <file>
    <ldDownload.exe url="$url/ldDownload.7z" hash="$url/ldDownload.7z.hash" ver="$version"/>
    <readme.txt url="$url/readme.zip" hash="$url/readme.zip.hash"/>
  </file>
</update>
XML
