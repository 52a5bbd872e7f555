#!/usr/bin/env bash
# Makes the pictures the GIF walker and the animated picture are tested on,
# with ImageMagick, into the folder given as $1 (under gif/):
#   twelve-frames.gif    64x64, 12 solid frames of 90 ms, disposal 2
#   zero-delay.gif       16x16, 3 frames with delays 0, 4 and 5 hundredths
#   dispose-background   32x32: red; blue 8x8 at (4,4) disposal 2; lime 8x8 at (20,20)
#   dispose-previous     32x32: red; blue 8x8 at (4,4) disposal 3; lime 8x8 at (20,20)
#   one-frame.gif        16x24, a single frame
#   picture.bmp          20x10 bitmap, no GIF at all
# The frame colours are listed in tests/support/TestGifs.h; keep both in step.
set -euo pipefail
out="$1/gif"
# The pictures depend on this script only: made once per build tree.
stamp="$out/.made-by"
if [ -f "$stamp" ] && [ "$stamp" -nt "$0" ]; then
    exit 0
fi
rm -rf "$out"
mkdir -p "$out"

colors=(red lime blue yellow cyan magenta '#800000' '#008000' '#000080' '#808000' '#008080' '#800080')
frames=()
for c in "${colors[@]}"; do
    frames+=(-size 64x64 "xc:$c")
done
convert -dispose Background -delay 9 "${frames[@]}" -loop 0 "$out/twelve-frames.gif"

convert -dispose None -delay 0 -size 16x16 xc:red -delay 4 -size 16x16 xc:lime \
    -delay 5 -size 16x16 xc:blue -loop 0 "$out/zero-delay.gif"

for mode in Background Previous; do
    name=${mode,,}
    convert -dispose None -delay 10 -size 32x32 xc:red -set page 32x32+0+0 \
        -dispose "$mode" -delay 20 \( -size 8x8 xc:blue -set page 32x32+4+4 \) \
        -dispose None -delay 30 \( -size 8x8 xc:lime -set page 32x32+20+20 \) \
        -loop 0 "$out/dispose-$name.gif"
done

convert -size 16x24 xc:'#3366CC' "$out/one-frame.gif"
convert -size 20x10 xc:'#CC6633' BMP3:"$out/picture.bmp"
: >"$stamp"
