# shellcheck shell=bash
# Shared by scripts/demo and bench/launcher-start.sh (sourced, not run; it
# only defines functions): the demo content host on nginx, the launcher's
# window as X sees it, the demo's swarm (tracker and a seeding engine), and
# the clean-up of everything started. With it come the Wine, Xvfb and nginx
# pieces. The caller sets DEMO_NGINX_DIR and WINEPREFIX before use and calls
# demo_stop on exit.
here_lib=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=scripts/lib/nginx.sh
. "$here_lib/nginx.sh"
# shellcheck source=scripts/lib/wine-prefix.sh
. "$here_lib/wine-prefix.sh"
# shellcheck source=scripts/lib/xvfb.sh
. "$here_lib/xvfb.sh"
here_swarm=$(cd "$here_lib/../.." && pwd)/tools/demo/demo-swarm.py
unset here_lib

# Serves `www` on 127.0.0.1:`port` with nginx from DEMO_NGINX_DIR; the game
# files (only they) at `rate` bytes per second (0: full speed) on each
# request and, when `per_second` is given and not 0, at most that many game
# requests a second from each address (more wait their turn): nginx paces a
# request only past its first second's worth, so many small requests, as a
# swarm's web seed makes, would pass unpaced. The access log is nginx's
# combined format with the connection's number after it.
demo_start_nginx() { # www port rate [per_second]
    local zone='' requests=''
    if [ "${4:-0}" -gt 0 ]; then
        zone="limit_req_zone \$binary_remote_addr zone=demo_game:1m rate=$4r/s;"
        requests="limit_req zone=demo_game burst=100000;"
    fi
    nginx_write_conf "$DEMO_NGINX_DIR" <<EOF || return 1
    log_format demo '\$remote_addr - \$remote_user [\$time_local] "\$request" \$status \$body_bytes_sent '
                    '"\$http_referer" "\$http_user_agent" connection \$connection';
    $zone
    server {
        listen 127.0.0.1:$2;
        access_log $DEMO_NGINX_DIR/logs/access.log demo;
        root $1;
        location /game/ {
            limit_rate $3;
            $requests
        }
    }
EOF
    nginx_start "$DEMO_NGINX_DIR"
}

# Processes of the demo's swarm, stopped by demo_stop.
DEMO_SWARM_PIDS=()

# Starts Debian's opentracker on 127.0.0.1:`port` with its folder `dir`,
# serving only the info-hashes given (its whitelist), and returns once it
# answers announces of them.
demo_start_tracker() { # dir port hash...
    local dir=$1 port=$2 hash escaped
    shift 2
    mkdir -p "$dir" || return 1
    printf '%s\n' "$@" >"$dir/whitelist" || return 1
    # It changes root into its folder and runs as nobody.
    chmod 755 "$dir" && chmod 644 "$dir/whitelist" || return 1
    opentracker -i 127.0.0.1 -p "$port" -P "$port" -d "$dir" -w whitelist \
        </dev/null >"$dir/tracker.log" 2>&1 &
    DEMO_SWARM_PIDS+=($!)
    # It reads its whitelist after it starts answering: until then a
    # "stopped" announce (which adds no peer) is refused.
    for hash in "$@"; do
        escaped=$(printf '%s' "$hash" | sed 's/../%&/g')
        wait_for 10 tracker_takes "$port" "$escaped" || return 1
    done
}
tracker_takes() { # port escaped-hash
    local answer
    answer=$(curl -s --max-time 2 "http://127.0.0.1:$1/announce?info_hash=$2&peer_id=-SF0000-000000000000&port=1&uploaded=0&downloaded=0&left=0&event=stopped&compact=1") || return 1
    [ -n "$answer" ] && [[ $answer != *failure* ]]
}

# The tracker on 127.0.0.1:`port` counts a seeder of `hash` (hex).
demo_tracker_seeded() { # port hash
    local escaped
    escaped=$(printf '%s' "$2" | sed 's/../%&/g')
    curl -s --max-time 2 "http://127.0.0.1:$1/scrape?info_hash=$escaped" | grep -q '8:completei[1-9]'
}

# Starts the native engine `engine` as a second player that seeds the files
# of `filelist`, whole in `folder`: its local port `port`, the swarm on
# `listen` (address:port), uploads capped at `cap` bytes per second (0: no
# cap), its state and log in `dir`. Returns once it has checked every file
# and seeds them.
demo_start_seeder() { # engine dir folder filelist port listen cap
    local engine=$1 dir=$2 folder=$3 filelist=$4 port=$5 listen=$6 cap=$7
    rm -rf "$dir/state" "$dir/engine.log" "$dir/job.log"
    mkdir -p "$dir" || return 1
    SF_ENGINE_PORT=$port SF_ENGINE_PEER_LISTEN=$listen SF_ENGINE_UPLOAD_CAP=$cap \
        SF_ENGINE_STATE_DIR=$dir/state SF_ENGINE_LOG=$dir/engine.log SF_ENGINE_IDLE_EXIT_MS=3600000 \
        "$engine" </dev/null >/dev/null 2>&1 &
    DEMO_SWARM_PIDS+=($!)
    wait_for 10 port_open "$port" || return 1
    python3 "$here_swarm" seed --port "$port" --folder "$folder" "$filelist" \
        </dev/null >"$dir/job.log" 2>&1 &
    DEMO_SWARM_PIDS+=($!)
    wait_for 120 grep -q '^job done' "$dir/job.log" 2>/dev/null
}
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Windows titled brightwave7 with the given size ("640x380" is the launcher
# once its skin laid it out; before that it is invisible).
window_sized() {
    local id geometry
    for id in $(xdotool search --name '^brightwave7$' 2>/dev/null); do
        geometry=$(xdotool getwindowgeometry "$id" 2>/dev/null | sed -n 's/.*Geometry: //p')
        if [ "$1" = any ] || [ "$geometry" = "$1" ]; then echo "$id"; fi
    done
}

# Runs the command every half second until it succeeds or `seconds` pass.
wait_for() { # seconds command...
    local limit=$1
    shift
    local end=$((SECONDS + limit))
    while [ $SECONDS -lt $end ]; do
        "$@" && return 0
        sleep 0.5
    done
    return 1
}

# Stops the swarm, nginx, every Wine process of WINEPREFIX and Xvfb, as far
# as started.
demo_stop() {
    local pid
    for pid in "${DEMO_SWARM_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${DEMO_SWARM_PIDS[@]}"; do
        wait "$pid" 2>/dev/null
    done
    DEMO_SWARM_PIDS=()
    nginx_stop "$DEMO_NGINX_DIR"
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
    fi
    xvfb_stop
}
