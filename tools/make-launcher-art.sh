#!/usr/bin/env bash
# Draws the launcher's own program artwork with ImageMagick:
#   terms.bmp                    the terms notice (592 x 447, 24-bit BMP, white ground)
#   loading.gif                  the installing spinner (64 x 64, 12 frames of 90 ms,
#                                each disposed to the background)
#   ZVTDownloader.ico            the program icon (48, 32 and 16 pixels)
#   ZVTDownloader.exe.manifest   copied beside them for the resource script
# Usage: make-launcher-art.sh OUTPUT-FOLDER MANIFEST
set -euo pipefail
out=$1
manifest=$2
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

font=/usr/share/fonts/truetype/nanum/NanumGothic.ttf
bold=/usr/share/fonts/truetype/nanum/NanumGothicBold.ttf
[ -f "$font" ] || { echo "make-launcher-art: $font missing (fonts-nanum)" >&2; exit 1; }
[ -f "$bold" ] || bold=$font

# Terms notice: a short introduction and five numbered sections, headings in
# blue, body in black. No anti-aliasing: white is the transparent colour where
# the picture is shown, and blended edge pixels would show as a light halo.
convert -size 592x447 xc:white +antialias \
    -fill '#1E3C9C' -font "$bold" -pointsize 16 -annotate +16+26 '개인정보 수집 및 이용 안내' \
    -pointsize 12 -fill black -font "$font" \
    -annotate +16+50 '본 다운로더는 게임 클라이언트를 빠르게 받을 수 있도록 아래와 같이 최소한의 정보를' \
    -annotate +16+66 '수집하고 이용합니다. 내용을 확인하신 뒤 아래의 동의란에 체크해 주십시오.' \
    -fill '#1E3C9C' -font "$bold" -annotate +16+96 '1. 정보를 수집하는 자' \
    -fill black -font "$font" \
    -annotate +28+114 '게임 배급사 Orvane Inc.가 다운로드 서비스 운영을 위하여 수집합니다.' \
    -fill '#1E3C9C' -font "$bold" -annotate +16+144 '2. 수집하는 정보' \
    -fill black -font "$font" \
    -annotate +28+162 '이용자 PC의 IP 주소와 포트 번호만 수집하며, 그 밖의 개인정보는 수집하지 않습니다.' \
    -annotate +28+178 '수집한 정보는 프로그램이 실행되는 동안에만 보관됩니다.' \
    -fill '#1E3C9C' -font "$bold" -annotate +16+208 '3. 이용하는 정보' \
    -fill black -font "$font" \
    -annotate +28+226 'IP 주소와 포트 번호, 그리고 이 클라이언트로 받은 다운로드 목록과' \
    -annotate +28+242 '각 파일의 MD4 해시 값을 이용합니다.' \
    -fill '#1E3C9C' -font "$bold" -annotate +16+272 '4. 이용 범위' \
    -fill black -font "$font" \
    -annotate +28+290 'P2P 기반 고속 다운로드 기능에만 이용하며, 소프트웨어가 실행되는 동안에만 이용합니다.' \
    -fill '#1E3C9C' -font "$bold" -annotate +16+320 '5. 보관 기간' \
    -fill black -font "$font" \
    -annotate +28+338 '게임을 다운로드하고 설치하는 동안에만 보관하며, 그 후에는 보관하지 않습니다.' \
    -fill '#1E3C9C' -font "$font" \
    -annotate +16+380 '문의: Orvane Inc. 고객지원 (support@orvane.example)' \
    -fill black -annotate +16+430 '* 동의하지 않으시면 다운로드를 진행할 수 없습니다.' \
    -type TrueColor BMP3:"$out/terms.bmp"

# Spinner: twelve dots on a circle; the lit dot moves one step per frame and
# the two behind it fade.
frames=()
for i in $(seq 0 11); do
    args=()
    for d in $(seq 0 11); do
        age=$(((i - d + 12) % 12))
        case $age in
            0) colour='#1E3C9C' ;;
            1) colour='#5A78D0' ;;
            2) colour='#9AAEE6' ;;
            *) colour='#D8DEEE' ;;
        esac
        x=$(awk -v d="$d" 'BEGIN { printf "%d", 32 + 22 * sin(d * 3.14159265 / 6) }')
        y=$(awk -v d="$d" 'BEGIN { printf "%d", 32 - 22 * cos(d * 3.14159265 / 6) }')
        args+=(-fill "$colour" -draw "circle $x,$y $((x + 5)),$y")
    done
    convert -size 64x64 xc:white "${args[@]}" "$tmp/f$i.png"
    frames+=("$tmp/f$i.png")
done
convert -dispose Background -delay 9 "${frames[@]}" -loop 0 "$out/loading.gif"

# Icon: a blue disc with a white downward arrow.
convert -size 48x48 xc:none -fill '#1E3C9C' -draw 'circle 24,24 24,2' \
    -fill white -draw 'polygon 19,10 29,10 29,24 36,24 24,38 12,24 19,24' \
    -define icon:auto-resize=48,32,16 "$out/ZVTDownloader.ico"

cp "$manifest" "$out/ZVTDownloader.exe.manifest"
