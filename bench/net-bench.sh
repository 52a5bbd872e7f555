#!/usr/bin/env bash
# Many files over a "real network": the library next to curl, aria2c and
# wget through the latency proxy (bench/latency_proxy.cpp) in front of nginx,
# at several round trips, counting what the origin had to send.
#
#   bench/net-bench.sh [--quick] [--rtt 0,20,100] [--sets small,mid,big,sizecheck]
#                      [--tools job,launcher,curl,curl-p5,aria2c-j1,aria2c-j5,wget]
#                      [--wine "COMMAND"] [--no-handshake] [--window BYTES] [--timeout S]
#                      [BUILD_DIR]
#
# BUILD_DIR (default build/linux-release) must hold bench/bench_job_fetch and
# bench/latency_proxy (cmake --build --preset linux-release --target
# bench_job_fetch latency_proxy). --quick is --rtt 20 --sets small,mid,sizecheck.
#
# Sets (random bytes, written for the run into nginx's document root):
#   small      300 files of 10 KiB       mid  50 files of 1 MiB
#   big        1 file of 256 MiB         sizecheck  only the sizes of 1,000 files of 1 KiB
# Tools (each one process for the whole set, into an empty folder):
#   job        bench_job_fetch: one job of every file (sizes unknown), StartJob;
#              sizecheck: the job's file-size check (--sizes)
#   launcher   bench_job_fetch --launcher: the launcher's size check of every
#              URL (SwarmFetch_AddSizeCheck), then the job; sizecheck: that
#              size check alone (--size-check)
#   curl       curl -K with url/output pairs: one connection kept alive;
#              sizecheck: HEAD requests (-I)
#   curl-p5    the same with --parallel --parallel-max 5
#   aria2c-j1, aria2c-j5   aria2c -i with dir/out per URL; sizecheck: --dry-run
#   wget       wget -i (keep-alive); sizecheck: --spider
#   job-wine, launcher-wine   job and launcher with the Windows build under
#              Wine: --wine COMMAND runs it (e.g. "build/windows-release/wine-run
#              build/windows-release/bench/bench_job_fetch.exe"), the list and
#              the folder given as Z:\... paths
#
# Each run gets a fresh proxy (one round trip, the client's first bytes held
# for the handshake unless --no-handshake, --window bytes in flight per
# direction, default 4 MiB) in front of one nginx (scripts/lib/nginx.sh, the
# settings the tests and the demo use). Reported per run, one table per
# round trip:
#   wall s     the tool's process, start to exit (the library's own figure,
#              StartJob or the size check to the end, and its peak memory
#              in the note)
#   conns      connections the proxy accepted
#   reqs       requests nginx logged
#   origin MB  bytes the proxy read from nginx (headers and bodies; a body
#              the client gave up on counts until its reset reached nginx)
#   nginx MB   bytes nginx logged as sent ($bytes_sent)
#   body MB    of those, the answers' bodies ($body_bytes_sent): a file's
#              bytes sent twice show here, answer heads do not
#   files MB   bytes of the files on disk (sizecheck: the sizes the library
#              found, or the set's bytes for the others)
#   o/files    origin MB against files MB (download sets): heads and bodies,
#              so every answer adds its head (about 260-290 bytes from this
#              nginx, 2.5-2.8 % of a 10 KiB file)
#   b/files    body MB against files MB
# A run is ok when the tool exited with 0 and every file is there at its
# size (sizecheck: the library found the right total). Exit status 1 when a
# run failed. Everything started is stopped on exit.
#
# No `set -e`: each step is checked, and the tools' failures are results.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
RTTS=0,20,100
SETS=small,mid,big,sizecheck
TOOLS=job,launcher,curl,curl-p5,aria2c-j1,aria2c-j5,wget
HANDSHAKE=1
WINDOW=$((4 * 1024 * 1024))
TIMEOUT=600
BUILD=$ROOT/build/linux-release
WINE=
usage() {
    sed -n '5,8p' "$0" | sed 's/^# *//' >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) RTTS=20 SETS=small,mid,sizecheck; shift ;;
        --rtt) RTTS=${2:?}; shift 2 ;;
        --sets) SETS=${2:?}; shift 2 ;;
        --tools) TOOLS=${2:?}; shift 2 ;;
        --wine) WINE=${2:?}; shift 2 ;;
        --no-handshake) HANDSHAKE=0; shift ;;
        --window) WINDOW=${2:?}; shift 2 ;;
        --timeout) TIMEOUT=${2:?}; shift 2 ;;
        -*) usage ;;
        *) BUILD=$(cd "$1" && pwd) || exit 2; shift ;;
    esac
done
IFS=, read -ra RTT_LIST <<<"$RTTS"
IFS=, read -ra SET_LIST <<<"$SETS"
IFS=, read -ra TOOL_LIST <<<"$TOOLS"

die() {
    echo "net-bench: $*" >&2
    exit 1
}
say() { echo "net-bench: $*" >&2; }

export PATH="$PATH:/usr/sbin:/sbin"
JOB_FETCH=$BUILD/bench/bench_job_fetch
PROXY=$BUILD/bench/latency_proxy
if [ ! -x "$JOB_FETCH" ] || [ ! -x "$PROXY" ]; then
    die "build them first: cmake --build --preset linux-release --target bench_job_fetch latency_proxy"
fi
for tool in nginx python3 timeout; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/bootstrap installs it)"
done
for rtt in "${RTT_LIST[@]}"; do
    case "$rtt" in '' | *[!0-9]*) die "--rtt takes whole milliseconds: $rtt" ;; esac
done
for set in "${SET_LIST[@]}"; do
    case "$set" in small | mid | big | sizecheck) ;; *) die "no set $set" ;; esac
done
for tool in "${TOOL_LIST[@]}"; do
    case "$tool" in
        job | launcher) ;;
        job-wine | launcher-wine) [ -n "$WINE" ] || die "$tool needs --wine COMMAND" ;;
        curl | curl-p5) command -v curl >/dev/null || die "curl is missing" ;;
        aria2c-j1 | aria2c-j5) command -v aria2c >/dev/null || die "aria2c is missing" ;;
        wget) command -v wget >/dev/null || die "wget is missing" ;;
        *) die "no tool $tool" ;;
    esac
done

# shellcheck source=scripts/lib/nginx.sh
. scripts/lib/nginx.sh
TMP_BASE=${SF_TEST_TMP_DIR:-/tmp}
mkdir -p "$TMP_BASE" || die "cannot make $TMP_BASE"
WORK=$(mktemp -d "$TMP_BASE/net_bench.XXXXXX") || die "no temporary folder"
# nginx's worker may run as another user and must read the files.
chmod 755 "$WORK"
DOCROOT=$WORK/www
NGINX_DIR=$WORK/nginx
TARGET=$WORK/target
PROXY_PID=
# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
    if [ -n "$PROXY_PID" ]; then
        kill "$PROXY_PID" 2>/dev/null
        wait "$PROXY_PID" 2>/dev/null
    fi
    nginx_stop "$NGINX_DIR"
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- content -----------------------------------------------------------------
set_count() { case "$1" in small) echo 300 ;; mid) echo 50 ;; big) echo 1 ;; sizecheck) echo 1000 ;; esac; }
set_size() { case "$1" in small) echo 10240 ;; mid) echo 1048576 ;; big) echo 268435456 ;; sizecheck) echo 1024 ;; esac; }
set_label() { case "$1" in small) echo "300 x 10 KiB" ;; mid) echo "50 x 1 MiB" ;; big) echo "1 x 256 MiB" ;; sizecheck) echo "sizes of 1,000" ;; esac; }
for set in "${SET_LIST[@]}"; do
    count=$(set_count "$set")
    size=$(set_size "$set")
    mkdir -p "$DOCROOT/$set" || die "cannot make $DOCROOT/$set"
    # f000.bin, f001.bin, ...: one stream of random bytes cut into the files.
    head -c $((count * size)) /dev/urandom |
        split -b "$size" -a 3 -d --additional-suffix=.bin - "$DOCROOT/$set/f" ||
        die "could not write the files of set $set"
    (cd "$DOCROOT/$set" && ls) >"$WORK/$set.names"
done
chmod -R a+rX "$DOCROOT"

# --- nginx -----------------------------------------------------------------
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
SENT_LOG=$NGINX_DIR/logs/sent.log
started=0
for _ in 1 2 3 4 5; do
    NGINX_PORT=$(free_port) || die "no free port"
    nginx_write_conf "$NGINX_DIR" <<EOF || die "could not write the nginx configuration"
    keepalive_requests 10000;
    log_format sent '\$bytes_sent \$status \$body_bytes_sent';
    access_log $SENT_LOG sent;
    server { listen 127.0.0.1:$NGINX_PORT; root $DOCROOT; }
EOF
    if nginx_start "$NGINX_DIR" >>"$WORK/nginx-start.out" 2>&1; then
        started=1
        break
    fi
done
[ "$started" = 1 ] || die "nginx did not start (see $NGINX_DIR/logs/error.log)"
: >>"$SENT_LOG"

# --- one run -------------------------------------------------------------------
now() { date +%s.%N; }

# Starts a fresh proxy for `rtt`; PROXY_PORT is its port.
proxy_start() { # rtt
    local flags=()
    [ "$HANDSHAKE" = 1 ] || flags+=(--no-handshake)
    rm -f "$WORK/proxy.port" "$WORK/proxy.stats"
    "$PROXY" --origin "$NGINX_PORT" --rtt-ms "$1" --window "$WINDOW" --time-limit $((TIMEOUT + 60)) \
        --ready "$WORK/proxy.port" --stats "$WORK/proxy.stats" "${flags[@]}" &
    PROXY_PID=$!
    for _ in $(seq 1 100); do # 5 s at most
        [ -s "$WORK/proxy.port" ] && break
        sleep 0.05
    done
    PROXY_PORT=$(cat "$WORK/proxy.port" 2>/dev/null) || return 1
}

# Stops the proxy once the connections it holds ended (it waits for them).
proxy_stop() {
    kill -TERM "$PROXY_PID" 2>/dev/null
    wait "$PROXY_PID" 2>/dev/null
    PROXY_PID=
}

proxy_stat() { awk -v k="$1" '$1 == k { print $2 }' "$WORK/proxy.stats" 2>/dev/null; }

# nginx logs a request when it ends; waits (5 s at most) until the log
# stops growing.
settled_log_lines() {
    local before after
    before=$(wc -l <"$SENT_LOG")
    for _ in $(seq 1 50); do
        sleep 0.1
        after=$(wc -l <"$SENT_LOG")
        [ "$after" = "$before" ] && break
        before=$after
    done
    echo "$before"
}

# The lists of `set` for the proxy's port: library (URL NAME), curl config,
# aria2c input, plain URLs.
write_lists() { # set
    local base="http://127.0.0.1:$PROXY_PORT/$1"
    awk -v b="$base" '{ print b "/" $0 " " $0 }' "$WORK/$1.names" >"$WORK/list.txt"
    awk -v b="$base" -v t="$TARGET" '{ print "url = \"" b "/" $0 "\"\noutput = \"" t "/" $0 "\"" }' \
        "$WORK/$1.names" >"$WORK/curl.cfg"
    awk -v b="$base" '{ print "url = \"" b "/" $0 "\"\noutput = \"/dev/null\"" }' \
        "$WORK/$1.names" >"$WORK/head.cfg"
    awk -v b="$base" -v t="$TARGET" '{ print b "/" $0 "\n  dir=" t "\n  out=" $0 }' \
        "$WORK/$1.names" >"$WORK/aria2.txt"
    awk -v b="$base" '{ print b "/" $0 }' "$WORK/$1.names" >"$WORK/urls.txt"
}

# A path as Wine's drive Z: sees it.
wine_path() { echo "Z:${1//\//\\}"; }

# The command of `tool` for `set`, as words in CMD.
tool_command() { # set tool
    local sizes=0 aria=(aria2c -q --allow-overwrite=true --auto-file-renaming=false --file-allocation=none)
    local wine
    read -ra wine <<<"$WINE"
    [ "$1" = sizecheck ] && sizes=1
    case "$2:$sizes" in
        job-wine:0) CMD=("${wine[@]}" --list "$(wine_path "$WORK/list.txt")" "$(wine_path "$TARGET")" "$TIMEOUT") ;;
        job-wine:1) CMD=("${wine[@]}" --sizes --list "$(wine_path "$WORK/list.txt")" "$(wine_path "$TARGET")" "$TIMEOUT") ;;
        launcher-wine:0) CMD=("${wine[@]}" --launcher --list "$(wine_path "$WORK/list.txt")" "$(wine_path "$TARGET")" "$TIMEOUT") ;;
        launcher-wine:1) CMD=("${wine[@]}" --size-check --list "$(wine_path "$WORK/list.txt")" "$(wine_path "$TARGET")" "$TIMEOUT") ;;
        job:0) CMD=("$JOB_FETCH" --list "$WORK/list.txt" "$TARGET" "$TIMEOUT") ;;
        job:1) CMD=("$JOB_FETCH" --sizes --list "$WORK/list.txt" "$TARGET" "$TIMEOUT") ;;
        launcher:0) CMD=("$JOB_FETCH" --launcher --list "$WORK/list.txt" "$TARGET" "$TIMEOUT") ;;
        launcher:1) CMD=("$JOB_FETCH" --size-check --list "$WORK/list.txt" "$TARGET" "$TIMEOUT") ;;
        curl:0) CMD=(curl -s -f -K "$WORK/curl.cfg") ;;
        curl:1) CMD=(curl -s -f -I -K "$WORK/head.cfg") ;;
        curl-p5:0) CMD=(curl -s -f --parallel --parallel-max 5 -K "$WORK/curl.cfg") ;;
        curl-p5:1) CMD=(curl -s -f -I --parallel --parallel-max 5 -K "$WORK/head.cfg") ;;
        aria2c-j*:0) CMD=("${aria[@]}" "-${2#aria2c-}" -i "$WORK/aria2.txt") ;;
        aria2c-j*:1) CMD=("${aria[@]}" "-${2#aria2c-}" --dry-run=true -i "$WORK/aria2.txt") ;;
        wget:0) CMD=(wget -q -nd -P "$TARGET" -i "$WORK/urls.txt") ;;
        wget:1) CMD=(wget -q --spider -i "$WORK/urls.txt") ;;
    esac
}

# Runs `tool` on `set` at `rtt` and appends its row to ROWS.
run_one() { # rtt set tool
    local rtt=$1 set=$2 tool=$3 expected lines_before lines_after t0 t1 status ok=ok note=
    local files_bytes conns origin nginx_bytes body_bytes requests wall result
    expected=$(($(set_count "$set") * $(set_size "$set")))
    rm -rf "$TARGET"
    mkdir -p "$TARGET" || die "cannot make $TARGET"
    proxy_start "$rtt" || die "the proxy did not start"
    write_lists "$set"
    tool_command "$set" "$tool"
    lines_before=$(settled_log_lines)
    t0=$(now)
    timeout "$TIMEOUT" "${CMD[@]}" </dev/null >"$WORK/tool.out" 2>&1
    status=$?
    t1=$(now)
    proxy_stop
    lines_after=$(settled_log_lines)
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    conns=$(proxy_stat connections)
    origin=$(proxy_stat origin_bytes)
    [ "$(proxy_stat timed_out)" = 0 ] || note="proxy timed out; "
    read -r requests nginx_bytes body_bytes < <(sed -n "$((lines_before + 1)),${lines_after}p" "$SENT_LOG" |
        awk '{ n++; b += $1; d += $3 } END { printf "%d %d %d\n", n, b, d }')
    result=$(sed -n 's/^RESULT //p' "$WORK/tool.out" | head -n 1)
    [ "$status" = 0 ] || { ok=FAIL; note+="exit $status; "; }
    if [ "$set" = sizecheck ]; then
        files_bytes=$expected
        if [ -n "$result" ]; then
            files_bytes=$(echo "$result" | awk '{ print $2 }')
            [ "$files_bytes" = "$expected" ] || { ok=FAIL; note+="sizes total $files_bytes; "; }
        fi
    else
        local whole
        find "$TARGET" -maxdepth 1 -type f -printf '%f %s\n' >"$WORK/sizes.txt"
        read -r files_bytes whole < <(awk -v want="$(set_size "$set")" '
            FILENAME == ARGV[1] { names[$1]; next }
            ($1 in names) { bytes += $2; if ($2 == want) whole++ }
            END { printf "%d %d\n", bytes, whole }' "$WORK/$set.names" "$WORK/sizes.txt")
        [ "$whole" = "$(set_count "$set")" ] || { ok=FAIL; note+="files missing or short; "; }
    fi
    if [ -n "$result" ]; then
        note+=$(echo "$result" | awk '{ printf "own %s s, peak %.0f MiB; ", $3, $6 / 1024 }')
        note+=$(echo "$result" | cut -d' ' -f7-)
    elif [ "$status" != 0 ]; then
        note+=$(head -c 80 "$WORK/tool.out" | tr '\n' ' ')
    fi
    [ "$ok" = ok ] || FAILED=1
    printf '%s\t%s\t%s\t%.3f\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$set" "$tool" "$ok" "$wall" \
        "${conns:-?}" "$requests" "${origin:-0}" "$nginx_bytes" "$body_bytes" "$files_bytes" "$expected" \
        "$note" >>"$ROWS"
    say "$rtt ms, $(set_label "$set"), $tool: $ok, $(printf '%.1f' "$wall") s, ${conns:-?} connections"
    rm -rf "$TARGET"
}

print_table() { # rtt
    local handshake="the handshake charged"
    [ "$HANDSHAKE" = 1 ] || handshake="no handshake charged"
    printf '\nround trip %s ms (%s, window %s bytes)\n' "$1" "$handshake" "$WINDOW"
    awk -F '\t' '
        function mb(b) { return sprintf("%.2f", b / 1e6) }
        function ratio(a) { return $1 == "sizecheck" || $10 == 0 ? "-" : sprintf("%.3f", a / $10) }
        BEGIN {
            printf "%-14s %-13s %-4s %8s %6s %6s %10s %10s %10s %10s %7s %7s  %s\n", "set", "tool", "",
                "wall s", "conns", "reqs", "origin MB", "nginx MB", "body MB", "files MB", "o/files",
                "b/files", "note"
        }
        {
            label = $1 == "small" ? "300 x 10 KiB" : $1 == "mid" ? "50 x 1 MiB" : $1 == "big" ? "1 x 256 MiB" : "sizes of 1,000"
            printf "%-14s %-13s %-4s %8.2f %6s %6s %10s %10s %10s %10s %7s %7s  %s\n", label, $2, $3, $4,
                $5, $6, mb($7), mb($8), mb($9), mb($10), ratio($7), ratio($9), $12
        }' "$ROWS"
}

FAILED=0
for rtt in "${RTT_LIST[@]}"; do
    ROWS=$WORK/rows-$rtt.tsv
    : >"$ROWS"
    for set in "${SET_LIST[@]}"; do
        for tool in "${TOOL_LIST[@]}"; do
            run_one "$rtt" "$set" "$tool"
        done
    done
    print_table "$rtt"
done
exit "$FAILED"
