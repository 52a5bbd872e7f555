# shellcheck shell=bash
# Shared by scripts/demo and bench/launcher-start.sh (sourced, not run; it
# only defines functions): the demo content host on nginx, the launcher's
# window as X sees it, and the clean-up of everything started. With it come
# the Wine, Xvfb and nginx pieces. The caller sets DEMO_NGINX_DIR and
# WINEPREFIX before use and calls demo_stop on exit.
here_lib=$(dirname "${BASH_SOURCE[0]}")
# shellcheck source=scripts/lib/nginx.sh
. "$here_lib/nginx.sh"
# shellcheck source=scripts/lib/wine-prefix.sh
. "$here_lib/wine-prefix.sh"
# shellcheck source=scripts/lib/xvfb.sh
. "$here_lib/xvfb.sh"
unset here_lib

# Serves `www` on 127.0.0.1:`port` with nginx from DEMO_NGINX_DIR; the game
# files (only they) at `rate` bytes per second (0: full speed).
demo_start_nginx() { # www port rate
    nginx_write_conf "$DEMO_NGINX_DIR" <<EOF || return 1
    server {
        listen 127.0.0.1:$2;
        root $1;
        location /game/ {
            limit_rate $3;
        }
    }
EOF
    nginx_start "$DEMO_NGINX_DIR"
}

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

# Stops nginx, every Wine process of WINEPREFIX and Xvfb, as far as started.
demo_stop() {
    nginx_stop "$DEMO_NGINX_DIR"
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
    fi
    xvfb_stop
}
