#!/usr/bin/env bash
# Makes the engine-update archives of the update tests, with the real tools,
# into $1/engine-update. $2 is the engine program of the new version (a test
# program with a version resource): every archive but old.zip carries it as
# ldDownload.exe. $3 is the engine program of the old version.
#   single.zip   ldDownload.exe alone (Info-ZIP)
#   old.zip      the old ldDownload.exe alone (Info-ZIP)
#   all.zip      ldDownload.exe, readme.txt, data/info.txt (Info-ZIP)
#   all.7z       the same (7-Zip, LZMA2)
#   all-bcj.7z   the same (7-Zip, BCJ + LZMA)
#   big.zip      ldDownload.exe and padding, stored: between 2 and 3 MiB
#   notzip.zip   random bytes under a zip name
#   large.zip    ldDownload.exe and 300 MiB of zeros (a sparse file, so
#                making it writes nothing), deflated to about 300 KB: an
#                archive that takes a while to unpack
set -euo pipefail
out="$1/engine-update"
engine="$2"
old="$3"
rm -rf "$out"
mkdir -p "$out/all/data" "$out/single" "$out/old" "$out/big" "$out/large"
cp "$engine" "$out/single/ldDownload.exe"
cp "$old" "$out/old/ldDownload.exe"
cp "$engine" "$out/all/ldDownload.exe"
cp "$engine" "$out/big/ldDownload.exe"
printf 'engine readme\r\n' >"$out/all/readme.txt"
printf 'engine data\r\n' >"$out/all/data/info.txt"
q=(-bd -bso0 -bsp0)
(cd "$out/single" && zip -q -X ../single.zip ldDownload.exe)
(cd "$out/old" && zip -q -X ../old.zip ldDownload.exe)
(cd "$out/all" && zip -q -X -r ../all.zip ldDownload.exe readme.txt data/info.txt)
(cd "$out/all" && 7zz a -t7z -m0=LZMA2 "${q[@]}" ../all.7z ldDownload.exe readme.txt data/info.txt)
(cd "$out/all" &&
    7zz a -t7z -m0=BCJ -m1=LZMA "${q[@]}" ../all-bcj.7z ldDownload.exe readme.txt data/info.txt)
# Padding up to 3 MiB less 64 KiB, so the stored archive has three pieces.
size=$(stat -c %s "$engine")
pad=$((3 * 1024 * 1024 - 65536 - size))
if [ "$pad" -lt 1 ]; then
    echo "engine program too large for big.zip: $size bytes" >&2
    exit 1
fi
head -c "$pad" /dev/urandom >"$out/big/pad.bin"
(cd "$out/big" && zip -q -X -0 ../big.zip ldDownload.exe pad.bin)
head -c 5000 /dev/urandom >"$out/notzip.zip"
cp "$engine" "$out/large/ldDownload.exe"
truncate -s 300M "$out/large/zeros.bin"
(cd "$out/large" && zip -q -X ../large.zip zeros.bin ldDownload.exe)
rm -rf "$out/large"
