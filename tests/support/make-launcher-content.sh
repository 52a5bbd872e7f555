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
#   launcher/signed/    the ok/ files as a hashed filelist.txt with its .sig
#                       (product brightwave7, serial 1000), and publisher.hex,
#                       the public key that signed it
#   launcher/tampered/  that list changed after signing, with its .sig
#   launcher/nosig/     that list without a .sig
#   launcher/plainline/ a list with one line without a hash, signed
#   launcher/replayed/  the signed list signed again with the older serial 999
#   launcher/foreign/   the signed list signed for the product otherGame
#   launcher/bare/      the signed list with the 64 raw signature bytes alone
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

# Signed lists: a fresh Ed25519 key each time, the private half outside the
# document root.
key_dir=$(mktemp -d)
trap 'rm -rf "$key_dir"' EXIT
openssl genpkey -algorithm ed25519 -out "$key_dir/key.pem" 2>/dev/null
# The signature file of sfpublish: the signed header (product, serial), then
# the Ed25519 signature over that header and the file, in hex.
sign() { # file [product] [serial]
    printf 'sfsig 1\nproduct %s\nserial %s\n' "${2:-brightwave7}" "${3:-1000}" >"$1.sig"
    cat "$1.sig" "$1" >"$key_dir/message"
    {
        printf 'ed25519 '
        openssl pkeyutl -sign -rawin -inkey "$key_dir/key.pem" -in "$key_dir/message" |
            od -An -tx1 -v | tr -d ' \n'
        printf '\n'
    } >>"$1.sig"
}
hashed() {
    local file=$out/ok/$2
    printf '%s#sha256=%s&size=%s\r\n' "$1" "$(sha256sum "$file" | cut -d' ' -f1)" \
        "$(stat -c %s "$file")"
}
mkdir -p "$out/signed" "$out/tampered" "$out/nosig" "$out/plainline" "$out/replayed" \
    "$out/foreign" "$out/bare"
openssl pkey -in "$key_dir/key.pem" -pubout -outform DER | tail -c 32 | od -An -tx1 |
    tr -d ' \n' >"$out/signed/publisher.hex"
{
    hashed "$base/ok/a.bin" a.bin
    hashed "$base/ok/b.bin|$base/mirror/ok/b.bin" b.bin
    hashed "$base/ok/setup.exe" setup.exe
} >"$out/signed/filelist.txt"
sign "$out/signed/filelist.txt"
cp "$out/signed/filelist.txt" "$out/nosig/filelist.txt"
# The same lines in another order: still hashed, no longer what was signed.
{ tail -n 1 "$out/signed/filelist.txt"; head -n 2 "$out/signed/filelist.txt"; } \
    >"$out/tampered/filelist.txt"
cp "$out/signed/filelist.txt.sig" "$out/tampered/filelist.txt.sig"
{
    hashed "$base/ok/a.bin" a.bin
    printf '%s\r\n' "$base/ok/setup.exe"
} >"$out/plainline/filelist.txt"
sign "$out/plainline/filelist.txt"
for dir in replayed foreign bare; do
    cp "$out/signed/filelist.txt" "$out/$dir/filelist.txt"
done
sign "$out/replayed/filelist.txt" brightwave7 999
sign "$out/foreign/filelist.txt" otherGame 1001
openssl pkeyutl -sign -rawin -inkey "$key_dir/key.pem" -in "$out/bare/filelist.txt" \
    -out "$out/bare/filelist.txt.sig"
