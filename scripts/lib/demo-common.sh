# Shared by scripts/demo and bench/launcher-start.sh (sourced, not run): the
# demo content host on nginx, a headless X display, the Wine prefix and the
# launcher's window as X sees it. The caller sets DEMO_NGINX_DIR,
# DEMO_XVFB_PID= and WINEPREFIX before use and calls demo_stop on exit.

# Serves `www` on 127.0.0.1:`port` with nginx from DEMO_NGINX_DIR; the game
# files (only they) at `rate` bytes per second (0: full speed).
demo_start_nginx() { # www port rate
    mkdir -p "$DEMO_NGINX_DIR/logs" "$DEMO_NGINX_DIR/tmp"
    cat >"$DEMO_NGINX_DIR/nginx.conf" <<EOF
daemon on;
pid $DEMO_NGINX_DIR/nginx.pid;
error_log $DEMO_NGINX_DIR/logs/error.log;
worker_processes 1;
events { worker_connections 256; }
http {
    access_log $DEMO_NGINX_DIR/logs/access.log;
    client_body_temp_path $DEMO_NGINX_DIR/tmp;
    proxy_temp_path $DEMO_NGINX_DIR/tmp;
    fastcgi_temp_path $DEMO_NGINX_DIR/tmp;
    uwsgi_temp_path $DEMO_NGINX_DIR/tmp;
    scgi_temp_path $DEMO_NGINX_DIR/tmp;
    types { text/plain txt; application/zip zip; }
    default_type application/octet-stream;
    sendfile on;
    server {
        listen 127.0.0.1:$2;
        root $1;
        location /game/ {
            limit_rate $3;
        }
    }
}
EOF
    nginx -p "$DEMO_NGINX_DIR" -c "$DEMO_NGINX_DIR/nginx.conf"
}

# Starts Xvfb (its log into `log`), sets DEMO_XVFB_PID and exports DISPLAY.
demo_start_xvfb() { # log
    local work display
    work=$(mktemp -d)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$1" &
    DEMO_XVFB_PID=$!
    for _ in $(seq 1 100); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    display=$(head -n 1 "$work/display" 2>/dev/null)
    rm -rf "$work"
    [ -n "$display" ] || return 1
    export DISPLAY=":$display"
}

# Wine's environment for the launcher: code page 949, no debug noise.
demo_wine_env() {
    export WINEDEBUG=-all LC_ALL=ko_KR.UTF-8
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

# Creates WINEPREFIX when it is not there yet.
demo_wine_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] && return 0
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 </dev/null
    wineserver -w
    [ -f "$WINEPREFIX/system.reg" ]
}

# Xvfb has no window manager: without this Wine waits up to two seconds for
# one to acknowledge each window it maps, and short-lived windows such as
# the installing dialog come late or not at all. On a person's display the
# window manager does its work.
demo_wine_unmanaged() { # 1: headless, empty: a person's display
    if [ -n "$1" ]; then
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
    else
        wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 </dev/null
    fi
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
    if [ -f "$DEMO_NGINX_DIR/nginx.pid" ]; then
        nginx -p "$DEMO_NGINX_DIR" -c "$DEMO_NGINX_DIR/nginx.conf" -s stop >/dev/null 2>&1
    fi
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
    fi
    if [ -n "${DEMO_XVFB_PID:-}" ]; then
        kill "$DEMO_XVFB_PID" 2>/dev/null
        wait "$DEMO_XVFB_PID" 2>/dev/null
    fi
}
