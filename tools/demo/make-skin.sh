#!/usr/bin/env bash
# Draws the demo skin of the launcher and packs it as img.zip.
#
#   tools/demo/make-skin.sh OUT_DIR
#
# Writes OUT_DIR/img.zip holding the 23 pictures the launcher knows: the
# 640 x 380 background, five buttons in four states (normal, mouse over,
# pressed, disabled) and the progress fill. Button corners are magenta
# (0xFF00FF), the colour the buttons key out so the background shows there;
# buttons are stored as BMP inside their ".jpg" names because JPEG would blur
# that key colour (the launcher loads any picture format Windows reads).
set -euo pipefail
out=${1:?usage: make-skin.sh OUT_DIR}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

font=/usr/share/fonts/truetype/nanum/NanumGothicBold.ttf
font_plain=/usr/share/fonts/truetype/nanum/NanumGothic.ttf
for f in "$font" "$font_plain"; do
    [ -f "$f" ] || { echo "make-skin: missing font $f (install fonts-nanum)" >&2; exit 1; }
done

# Background: the labels sit left of the value fields the launcher draws at
# (112,195) (112,213) (112,231) (276,195) (276,213) (276,231), the progress
# bar at (113,250) 282 x 10 and the folder line at (56,302). The panel ends
# above y 265, where the installer notice (an opaque black line, 14 high)
# comes up between it and the folder line.
convert -size 640x380 gradient:'#1d2b44'-'#0b0f18' \
    -fill '#2a3b5c' -draw 'rectangle 0,0 639,56' \
    -font "$font" -pointsize 26 -fill '#f0c040' -annotate +24+38 'brightwave7' \
    -font "$font_plain" -pointsize 13 -fill '#c8d0e0' -annotate +250+38 '게임 클라이언트 다운로드' \
    -fill '#101828' -stroke '#3a4a6a' -draw 'roundrectangle 20,180 620,264 8,8' -stroke none \
    -font "$font_plain" -pointsize 12 -fill '#9fb0d0' \
    -annotate +40+206 '현재 파일' -annotate +40+224 '경과 시간' -annotate +40+242 '남은 시간' \
    -annotate +216+206 '전체 크기' -annotate +216+224 '받은 크기' -annotate +216+242 '속도' \
    -annotate +40+259 '진행률' \
    -fill '#05070c' -stroke '#3a4a6a' -draw 'rectangle 111,248 396,261' -stroke none \
    -fill '#101828' -stroke '#3a4a6a' -draw 'roundrectangle 20,288 620,318 6,6' -stroke none \
    -fill '#9fb0d0' -annotate +28+307 '경로' \
    -quality 92 "$work/bk_main.jpg"

# button NAME LABEL WIDTH HEIGHT
button() {
    local name=$1 label=$2 w=$3 h=$4
    local -a states=("" _mo _se _di)
    local -a fills=('#3b6fd1' '#5a8ff0' '#2a4f9a' '#505560')
    local -a texts=('#ffffff' '#ffffff' '#dfe6f5' '#9a9ea8')
    local -a shift=(0 0 1 0)
    local i
    for i in 0 1 2 3; do
        local dx=$((shift[i])) r=$((h / 3))
        # Shapes without anti-aliasing: a blended edge pixel would miss the key.
        convert -size "${w}x${h}" xc:'#ff00ff' +antialias \
            -fill "${fills[i]}" -stroke '#0b0f18' -draw "roundrectangle 0,0 $((w - 1)),$((h - 1)) $r,$r" \
            -stroke none -antialias -font "$font" -pointsize $((h / 2)) -fill "${texts[i]}" \
            -gravity center -annotate "+${dx}+${dx}" "$label" \
            -type TrueColor "bmp3:$work/btn_${name}${states[i]}.jpg"
    done
}
button start '시작' 80 28
button stop '중지' 80 28
button close '닫기' 80 28
button run '실행' 80 28
button folder '폴더' 56 20

# Progress fill: a 6-pixel tile the bar repeats across its width.
convert -size 6x10 gradient:'#7fd0ff'-'#2a7fd0' -fill '#a8e2ff' -draw 'line 0,0 5,0' \
    -quality 95 "$work/progressbar.jpg"

# The shell's thumbnail cache some skins carry; the launcher only clears its
# read-only flag.
printf 'demo thumbnail cache\n' >"$work/Thumbs.db"

rm -f "$out/img.zip"
(cd "$work" && zip -q -X "$out/img.zip" bk_main.jpg btn_*.jpg progressbar.jpg Thumbs.db)
count=$(unzip -Z1 "$out/img.zip" | wc -l)
[ "$count" -eq 23 ] || { echo "make-skin: expected 23 entries, got $count" >&2; exit 1; }
echo "make-skin: $out/img.zip"
