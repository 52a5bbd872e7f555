#!/usr/bin/env bash
# Makes the archives the dependency tests open, with the real tools, into
# the folder given as $1: the plain files under plain/ and a 7z archive of
# them (LZMA2 for text, with the x86 filter for the binary).
set -euo pipefail
out="$1"
rm -rf "$out/plain" "$out/sample.7z"
mkdir -p "$out/plain/sub"
printf 'SwarmFetch 7z sample\r\n%.0s' $(seq 1 200) >"$out/plain/readme.txt"
head -c 300000 /dev/urandom >"$out/plain/sub/random.bin"
: >"$out/plain/empty.txt"
(cd "$out/plain" && 7zz a -t7z -mx=5 -bd -bso0 -bsp0 ../sample.7z readme.txt sub/random.bin empty.txt)
