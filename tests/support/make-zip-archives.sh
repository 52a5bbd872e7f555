#!/usr/bin/env bash
# Makes the archives the zip reader tests open, with the real tools, into
# $1/zip: Info-ZIP zip for stored and deflated entries, folders, Unix
# attributes, "UT" time stamps, a long comment, encryption and two skin
# bombs (two sparse 40 MiB pictures of zeros, 80 MiB in about 80 KB; and 257
# empty pictures), both beyond the skin's caps; 7-Zip for
# encryption with the sizes in the local header; Python's
# zipfile for names zip itself would never store and for FAT attributes.
set -euo pipefail
out="$1/zip"
rm -rf "$out"
mkdir -p "$out/src/img"
cd "$out/src" || exit 1

printf 'SwarmFetch zip sample line\r\n%.0s' $(seq 1 400) >readme.txt
head -c 50000 /dev/urandom >photo.bin
: >empty.txt
printf 'picture bytes' >img/pic.jpg
printf 'locked text' >locked.txt
chmod 444 locked.txt
touch -m -d '2021-03-04 05:06:07 UTC' readme.txt
touch -a -d '2022-05-06 07:08:09 UTC' readme.txt

# Stored (.bin), deflated and empty entries, a folder entry, a read-only
# file, and an archive comment of exactly 2000 bytes (zip -z would add a line
# end), set in the end record that zip wrote without one.
zip -q -r -n .bin ../info.zip readme.txt photo.bin empty.txt img locked.txt
python3 - ../info.zip <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
assert data[-22:-18] == b"PK\x05\x06" and data[-2:] == b"\0\0"
data[-2:] = (2000).to_bytes(2, "little")
open(path, "wb").write(bytes(data) + b"c" * 2000)
PY

# The same archive with 100 bytes in front and its offsets left as they are.
{ head -c 100 /dev/zero | tr '\0' 'P'; cat ../info.zip; } >../prefixed.zip

# Encrypted entries, deflated and stored. Info-ZIP writes the sizes after the
# data (the check byte is then the time's); 7-Zip writes them in front (the
# check byte is the CRC's).
zip -q -n .bin -P secret ../encrypted.zip readme.txt photo.bin
7zz a -tzip -psecret -mem=ZipCrypto -bd -bso0 -bsp0 ../encrypted-7z.zip readme.txt

# Names and attributes through Python's zipfile. Names go out as the bytes
# given here (CP949 for the Korean ones), not as UTF-8.
python3 - "$out" <<'PY'
import sys, zipfile

out = sys.argv[1]

class RawName(zipfile.ZipInfo):
    """Writes the name as stored bytes, decoded back from latin-1."""
    def _encodeFilenameFlags(self):
        return self.filename.encode("latin-1"), self.flag_bits

def raw(name_bytes, system=3, attr=0o644 << 16, date=(2020, 1, 2, 3, 4, 6)):
    info = RawName(name_bytes.decode("latin-1"), date_time=date)
    info.create_system = system
    info.external_attr = attr
    info.compress_type = zipfile.ZIP_DEFLATED
    return info

korean_folder = "한글".encode("cp949")
korean_file = "이미지.txt".encode("cp949")
with zipfile.ZipFile(out + "/names.zip", "w") as z:
    for name in [b"../x", b"C:\\x\\a.txt", b"/abs/b.txt", b"dir/../f.txt",
                 b"\\\\server\\share\\f", b"a/../../b.txt", b"..\\y.txt", b"ok.txt",
                 korean_folder + b"/" + korean_file, b"sub/.. /z.txt"]:
        z.writestr(raw(name), b"data of " + name)

# Names Windows would take for devices, streams or other names, between
# names that are plain files.
with zipfile.ZipFile(out + "/devices.zip", "w") as z:
    for name in [b"CON", b"aux.txt", b"dir/nul.dat", b"Com1.log", b"LPT9", b"prn .txt",
                 b"dots./x.txt", b"trail.", b"space ", b"stream.txt:ads", b"a*b.txt", b"q?.txt",
                 b"ctl\x01.txt", b"dir/./x.txt", b"dir//x.txt", b"con-ok.txt", b"console.txt",
                 b"COM10.txt", b"ok/inner.txt", b"ok/"]:
        z.writestr(raw(name, attr=(0o40755 << 16) if name.endswith(b"/") else 0o644 << 16),
                   b"" if name.endswith(b"/") else b"data of " + name)

with zipfile.ZipFile(out + "/fat.zip", "w") as z:
    z.writestr(raw(b"ro.txt", 0, 0x21), b"read-only")
    z.writestr(raw(b"hidden.txt", 0, 0x22), b"hidden")
    z.writestr(raw(b"system.txt", 0, 0x24), b"system")
    z.writestr(raw(b"folder/", 0, 0x10), b"")
    z.writestr(raw(b"unixdir/", 3, 0x41ED0000), b"")

with zipfile.ZipFile(out + "/long.zip", "w") as z:
    z.writestr(raw(b"n" * 300), b"too long")
    z.writestr(raw(b"short.txt"), b"short")
    z.writestr(raw(b"d" * 250 + b".txt"), b"fits alone")

with zipfile.ZipFile(out + "/deflated.zip", "w") as z:
    z.writestr(raw(b"big.txt"), b"0123456789abcdef" * 4096)
    z.writestr(raw(b"next.txt"), b"next entry")
PY

mkdir -p "$out/bomb"
(cd "$out/bomb" &&
    truncate -s 40M bk_main.jpg bk_top.jpg &&
    zip -q -X ../skin-bomb.zip bk_main.jpg bk_top.jpg &&
    rm bk_main.jpg bk_top.jpg &&
    touch $(seq -f 'p%g.jpg' 1 257) &&
    zip -q -X ../skin-many.zip -- *.jpg)
rm -rf "$out/bomb"
