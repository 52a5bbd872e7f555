#!/usr/bin/env bash
# Makes the archives the extraction tests unpack, with the real tools, into
# $1/extract: one tree of files (src/) packed by 7-Zip with LZMA, LZMA2, BCJ
# and BCJ2 and by Info-ZIP zip; many small files for a longer run; and, by
# patching archives 7-Zip wrote with a plain header, 7z archives whose names
# climb out or start at the root and one that claims a huge file; and two
# archive bombs: three files of zeros (200 + 200 + 200 MiB, more than an
# extraction may write, each small enough for the 7z decoder's memory)
# packed by Info-ZIP zip (bomb.zip, about 600 KB) and by 7-Zip, one block
# per file (bomb.7z, about 135 KB); below the caps, 256 MiB of zeros and a
# readme (slow.zip), which take a while to write. The zeros are sparse
# files, so making them writes nothing.
set -euo pipefail
out="$1/extract"
rm -rf "$out"
mkdir -p "$out/src/sub/deep" "$out/many" "$out/hostile/aa/aa" "$out/hostile/yy" "$out/hostile/Xabs" \
    "$out/bomb"
cd "$out/src" || exit 1
printf 'SwarmFetch engine readme line\r\n%.0s' $(seq 1 2000) >readme.txt
head -c 300000 /dev/urandom >sub/deep/random.bin
# Code-like bytes give the branch filters calls and jumps to convert.
python3 -c "
import random, sys
r = random.Random(11)
out = bytearray()
while len(out) < 200000:
    out += bytes([0xE8]) + r.getrandbits(32).to_bytes(4, 'little') + bytes(r.getrandbits(8) for _ in range(7))
sys.stdout.buffer.write(out)" >sub/engine.exe
: >empty.txt
printf 'locked' >locked.txt
chmod 444 locked.txt
files=(readme.txt sub/deep/random.bin sub/engine.exe empty.txt locked.txt)

q=(-bd -bso0 -bsp0)
7zz a -t7z -m0=LZMA "${q[@]}" ../lzma.7z "${files[@]}"
7zz a -t7z -m0=LZMA2 "${q[@]}" ../lzma2.7z "${files[@]}"
7zz a -t7z -m0=BCJ -m1=LZMA2 "${q[@]}" ../bcj.7z "${files[@]}"
# BCJ2 with its call and jump streams packed by LZMA too, the layout the
# decoder takes.
7zz a -t7z -m0=BCJ2 -m1=LZMA:d25 -m2=LZMA:d19 -m3=LZMA:d19 -mb0:1 -mb0s1:2 -mb0s2:3 \
    "${q[@]}" ../bcj2.7z "${files[@]}"
zip -q ../info.zip "${files[@]}"

cd "$out/many" || exit 1
for i in $(seq 1 300); do printf 'file %d\n' "$i" >"f$i.txt"; done
7zz a -t7z -m0=LZMA2 -ms=off "${q[@]}" ../many.7z .

cd "$out/hostile" || exit 1
printf 'inside' >ok.txt
printf 'escaped' >aa/aa/esc.txt
printf 'climbing' >yy/up.txt
printf 'rooted' >Xabs/in.txt
head -c 1000 /dev/zero >huge.bin
7zz a -t7z -mhc=off -m0=Copy "${q[@]}" ../names.7z ok.txt aa/aa/esc.txt yy/up.txt
mkdir -p hollow
7zz a -t7z -mhc=off -m0=Copy "${q[@]}" ../rooted.7z ok.txt Xabs/in.txt hollow
7zz a -t7z -mhc=off -m0=Copy "${q[@]}" ../huge.7z huge.bin
(cd "$out/bomb" &&
    for i in 1 2 3; do truncate -s 200M "zeros$i.bin"; done &&
    zip -q -X ../bomb.zip zeros1.bin zeros2.bin zeros3.bin &&
    7zz a -t7z -m0=LZMA2 -mx=1 -ms=off "${q[@]}" ../bomb.7z zeros1.bin zeros2.bin zeros3.bin &&
    truncate -s 256M zeros.bin && cp ../src/readme.txt . &&
    zip -q -X -1 ../slow.zip readme.txt zeros.bin)
rm -rf "$out/bomb"

# A Korean folder and file name, stored by 7-Zip as UTF-16.
mkdir -p "$out/korean/한글"
printf 'korean' >"$out/korean/한글/이미지.txt"
(cd "$out/korean" && LC_ALL=C.UTF-8 7zz a -t7z "${q[@]}" ../korean.7z 한글/이미지.txt)

# Rewrites the plain header of a 7z archive and its two CRCs.
python3 - "$out" <<'PY'
import struct, sys, zlib

out = sys.argv[1]

def patch(name, edit):
    data = bytearray(open(f"{out}/{name}", "rb").read())
    offset, size = struct.unpack_from("<QQ", data, 12)
    start = 32 + offset
    header = edit(bytes(data[start:start + size]))
    data = data[:start] + header
    struct.pack_into("<QQI", data, 12, offset, len(header), zlib.crc32(header))
    struct.pack_into("<I", data, 8, zlib.crc32(bytes(data[12:32])))
    open(f"{out}/{name}", "wb").write(bytes(data))

def utf16(text):
    return text.encode("utf-16-le")

def rename(old, new):
    def edit(header):
        assert header.count(utf16(old)) == 1, old
        return header.replace(utf16(old), utf16(new))
    return edit

patch("names.7z", rename("aa/aa/esc.txt", "../../esc.txt"))
patch("names.7z", rename("yy/up.txt", "../up.txt"))
patch("rooted.7z", rename("Xabs/in.txt", "/abs/in.txt"))

def claim_huge(header):
    # The folder's unpack size (1000) follows the kCodersUnpackSize marker;
    # it becomes 2^40 in the nine-byte form.
    old = bytes([0x0C, 0x83, 0xE8])
    assert header.count(old) == 1
    return header.replace(old, bytes([0x0C, 0xFF]) + (1 << 40).to_bytes(8, "little"))

patch("huge.7z", claim_huge)
PY
