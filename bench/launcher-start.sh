#!/usr/bin/env bash
# Start time of the launcher under Wine: from the process start to its main
# window (titled brightwave7) mapped at the skin's size, 640x380, with the
# skin's picture in it, against the demo content on loopback.
#
#   bench/launcher-start.sh [--runs N] [BUILD_DIR]
#
# BUILD_DIR (default build/windows-release) must hold a built launcher and
# demo installer (cmake --build --preset windows-release --target
# ZVTDownloader DemoInstaller). The demo content (tools/demo, without the
# engine's: the plain downloader's path) is served by nginx on the content
# host compiled into the launcher, from BUILD_DIR/launcher-bench, which also
# keeps the Wine prefix between invocations. On an Xvfb display of its own,
# with the wineserver kept running from one run to the next (warm Wine), it
# starts the launcher N times (default 5), polls X every 20 ms (60 s at
# most) for the window, checks it shows more than one colour, ends the
# launcher and prints each run and min/median/max in seconds.
#
# Everything it started is stopped when it ends, also on failure.
#
# No `set -e`: each step is checked and ends the run with a message (die),
# and the polls run commands that fail until the window comes.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
RUNS=5
BUILD=$ROOT/build/windows-release
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) RUNS=${2:?--runs needs a count}; shift 2 ;;
        -*) echo "usage: bench/launcher-start.sh [--runs N] [BUILD_DIR]" >&2; exit 2 ;;
        *) BUILD=$(cd "$1" && pwd) || exit 2; shift ;;
    esac
done
case "$RUNS" in '' | *[!0-9]* | 0) echo "launcher-start: --runs must be a count" >&2; exit 2 ;; esac

say() { echo "launcher-start: $*"; }
die() {
    echo "launcher-start: $*" >&2
    exit 1
}

# shellcheck source=scripts/lib/demo-common.sh
. scripts/lib/demo-common.sh
export PATH="$PATH:/usr/sbin:/sbin"
LAUNCHER=$BUILD/launcher/ZVTDownloader.exe
INSTALLER=$BUILD/tools/DemoInstaller.exe
if [ ! -f "$LAUNCHER" ] || [ ! -f "$INSTALLER" ]; then
    die "build the launcher first: cmake --build $BUILD --target ZVTDownloader DemoInstaller"
fi
CONTENT_URL=$(sed -n 's/^SF_CONTENT_URL:STRING=//p' "$BUILD/CMakeCache.txt")
CONTENT_URL=${CONTENT_URL:-http://127.0.0.1:47180}
case "$CONTENT_URL" in
    http://127.0.0.1:*) PORT=${CONTENT_URL##*:} ;;
    *) die "the launcher is built for $CONTENT_URL; only http://127.0.0.1:PORT is served here" ;;
esac
for tool in nginx Xvfb xdotool wine import; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/bootstrap installs it)"
done

WORK=$BUILD/launcher-bench
WWW=$WORK/www
mkdir -p "$WORK"
# The game files are never fetched here: 1 MiB for the large one is enough.
bash tools/demo/make-demo-content.sh "$WWW" "$CONTENT_URL" "$INSTALLER" 1 >/dev/null ||
    die "could not make the demo content"
rm -rf "$WWW/ActiveX"
if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
    die "port $PORT on 127.0.0.1 is taken; stop what listens there"
fi

export WINEPREFIX=$WORK/wineprefix
DEMO_NGINX_DIR=$WORK/nginx
LAUNCHER_PID=
stop_all() {
    if [ -n "$LAUNCHER_PID" ]; then
        kill "$LAUNCHER_PID" 2>/dev/null
        wait "$LAUNCHER_PID" 2>/dev/null
    fi
    demo_stop
}
trap stop_all EXIT
trap 'exit 130' INT TERM
demo_start_nginx "$WWW" "$PORT" 0 || die "nginx did not start (see $DEMO_NGINX_DIR/logs/error.log)"
wine_env
xvfb_start "$WORK/xvfb.log" || die "Xvfb did not start (see $WORK/xvfb.log)"
if ! wine_prefix_ready; then
    say "creating the Wine prefix (first run only)"
    wine_prefix_make || die "Wine could not create its prefix $WINEPREFIX"
fi
wineserver -p || die "the wineserver did not start"
wine_unmanaged
TARGET=$WINEPREFIX/drive_c/Download/brightwave7

now() { date +%s.%N; }
# The launcher's window once the skin laid it out and X shows it.
skinned_window() {
    local id
    for id in $(xdotool search --onlyvisible --name '^brightwave7$' 2>/dev/null); do
        if xdotool getwindowgeometry "$id" 2>/dev/null | grep -q 'Geometry: 640x380$'; then
            echo "$id"
            return 0
        fi
    done
    return 1
}

times=()
for run in $(seq 1 "$RUNS"); do
    rm -rf "$TARGET"
    started=$(now)
    wine "$LAUNCHER" </dev/null >"$WORK/launcher-$run.log" 2>&1 &
    LAUNCHER_PID=$!
    window=
    for _ in $(seq 1 3000); do # 20 ms apart: 60 s at most
        window=$(skinned_window) && break
        kill -0 "$LAUNCHER_PID" 2>/dev/null || break
        sleep 0.02
    done
    ended=$(now)
    [ -n "$window" ] || die "run $run: no skinned window (launcher log: $WORK/launcher-$run.log)"
    seconds=$(echo "$ended - $started" | bc -l)
    # The skin's picture, not an empty frame: give the paint a moment (at
    # most 5 s) to show more than one colour.
    colours=0
    for _ in $(seq 1 50); do
        colours=$(import -display "$DISPLAY" -window "$window" png:- 2>/dev/null | identify -format '%k' - 2>/dev/null)
        [ "${colours:-0}" -gt 1 ] && break
        sleep 0.1
    done
    [ "${colours:-0}" -gt 1 ] || die "run $run: the window shows no picture"
    printf 'launcher-start: run %d: %.3f s (window 0x%x, %d colours)\n' "$run" "$seconds" "$window" "$colours"
    times+=("$seconds")
    kill "$LAUNCHER_PID" 2>/dev/null
    for _ in $(seq 1 100); do # 10 s at most
        kill -0 "$LAUNCHER_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$LAUNCHER_PID" 2>/dev/null
    wait "$LAUNCHER_PID" 2>/dev/null
    LAUNCHER_PID=
    for _ in $(seq 1 100); do # its window gone, 10 s at most
        [ -z "$(window_sized any)" ] && break
        sleep 0.1
    done
done

printf '%s\n' "${times[@]}" | sort -g | awk -v runs="$RUNS" '
    { t[NR] = $1 }
    END {
        median = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
        printf "\n%-40s %5s %8s %8s %8s\n", "launcher start to skinned window", "runs", "min s", "median s", "max s"
        printf "%-40s %5d %8.3f %8.3f %8.3f\n", "ZVTDownloader.exe (Wine, warm, Xvfb)", NR, t[1], median, t[NR]
    }'
