#!/usr/bin/env bash
# Lays out the launcher tests' content in the test servers' document root:
#
#   make-launcher-content.sh <servers.env> <installer.exe>
#
#   launcher/ok/        filelist.txt (two data files and the installer), img.zip
#                       (the demo skin), a.bin, b.bin, setup.exe
#   launcher/empty/     an empty filelist.txt
#   launcher/overlong/  a filelist.txt with a line of 1024 bytes
#   launcher/badsize/   a filelist.txt naming a file that does not exist
# A skin that is missing is any other URL below launcher/.
set -euo pipefail
env_file=${1:?usage: make-launcher-content.sh <servers.env> <installer.exe>}
installer=${2:?installer missing}
here=$(cd "$(dirname "$0")" && pwd)
port=$(sed -n 's/^HTTP_PORT=//p' "$env_file")
docroot=$(sed -n 's/^DOCROOT=//p' "$env_file")
if [ -z "$port" ] || [ ! -d "$docroot" ]; then
    echo "make-launcher-content: bad $env_file" >&2
    exit 1
fi
base="http://127.0.0.1:$port/launcher"
out="$docroot/launcher"
rm -rf "$out"
mkdir -p "$out/ok" "$out/empty" "$out/overlong" "$out/badsize"

bash "$here/../../tools/demo/make-skin.sh" "$out/ok" >/dev/null
head -c $((2 * 1024 * 1024 + 123)) /dev/urandom >"$out/ok/a.bin"
head -c 70001 /dev/urandom >"$out/ok/b.bin"
cp "$installer" "$out/ok/setup.exe"
printf '%s\r\n%s\r\n%s\r\n' "$base/ok/a.bin" "$base/ok/b.bin|$base/mirror/ok/b.bin" \
    "$base/ok/setup.exe" >"$out/ok/filelist.txt"

: >"$out/empty/filelist.txt"
{
    printf '%s\n' "$base/ok/a.bin"
    printf 'http://127.0.0.1/%01007d\n' 0
} >"$out/overlong/filelist.txt"
printf '%s\n' "$base/badsize/missing.bin" >"$out/badsize/filelist.txt"
