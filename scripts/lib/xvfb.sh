# shellcheck shell=bash
# A headless X display for Wine programs (sourced, not run; it only defines
# functions). Used by the UI test runner, the demo and the launcher
# start-time benchmark.

# Starts Xvfb on a display number the server picks itself (-displayfd), its
# log into `log`; sets XVFB_PID and exports DISPLAY. Fails when Xvfb ends or
# names no display within ten seconds.
xvfb_start() { # log
    local work display
    work=$(mktemp -d) || return 1
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$1" &
    XVFB_PID=$!
    for _ in $(seq 1 100); do
        [ -s "$work/display" ] && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    display=$(head -n 1 "$work/display" 2>/dev/null)
    rm -rf "$work"
    [ -n "$display" ] || return 1
    export DISPLAY=":$display"
}

# Ends the Xvfb that xvfb_start started, if any.
xvfb_stop() {
    [ -n "${XVFB_PID:-}" ] || return 0
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=
}
