#!/usr/bin/env bash
# Lays out the demo content host: the file list, the skin and the game files.
#
#   tools/demo/make-demo-content.sh OUT_DIR BASE_URL INSTALLER_EXE [LARGE_MIB]
#
# OUT_DIR becomes a web root:
#   orvane/filelist.txt   one line per file; one line is a mirror list (the
#                         size check measures first mirrors, so the first one
#                         is the real file)
#   orvane/img.zip        the skin (make-skin.sh)
#   game/data/...         the files, one of LARGE_MIB MiB (default 100; the
#                         demo's server paces them, scripts/demo), and the
#                         installer last, all in one folder so that sfpublish
#                         can list them under one base URL
# BASE_URL is the content host as the launcher reaches it (http://127.0.0.1:PORT).
set -euo pipefail
out=${1:?usage: make-demo-content.sh OUT_DIR BASE_URL INSTALLER_EXE [LARGE_MIB]}
base=${2:?BASE_URL missing}
installer=${3:?INSTALLER_EXE missing}
large_mib=${4:-100}
here=$(cd "$(dirname "$0")" && pwd)

[ -f "$installer" ] || { echo "make-demo-content: no installer at $installer" >&2; exit 1; }
mkdir -p "$out/orvane" "$out/game/data"
"$here/make-skin.sh" "$out/orvane" >/dev/null

# Content that differs byte by byte, so a misplaced range or a dropped block
# shows as a wrong file rather than as a run of equal zeros.
make_file() { # path size_in_bytes
    [ -f "$1" ] && [ "$(stat -c %s "$1")" -eq "$2" ] && return 0
    head -c "$2" /dev/urandom >"$1"
}
make_file "$out/game/data/client.pak" $((large_mib * 1024 * 1024))
make_file "$out/game/data/sound.pak" $((24 * 1024 * 1024))
make_file "$out/game/data/config.ini" 2048
rm -f "$out/game/brightwave7_setup.exe"
cp "$installer" "$out/game/data/brightwave7_setup.exe"

{
    printf '%s\r\n' "$base/game/data/client.pak"
    printf '%s\r\n' "$base/game/data/sound.pak|$base/mirror2/data/sound.pak"
    printf '%s\r\n' "$base/game/data/config.ini"
    printf '%s\r\n' "$base/game/data/brightwave7_setup.exe"
} >"$out/orvane/filelist.txt"
echo "make-demo-content: $out"
