# shellcheck shell=bash
# Wine for our Windows programs: one environment and one kind of prefix for
# the test driver, the test emulators, the UI runner and the demo. Sourced,
# not run; it only defines functions. The caller sets WINEPREFIX (or uses
# wine_with).

# Code page 949 through the Korean locale (Wine maps Unix file names with
# it), no debug noise, no Mono or Gecko install prompts, no menu entries
# written into the user's desktop.
wine_env() {
    export WINEDEBUG=-all LC_ALL=ko_KR.UTF-8
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

# Runs a command in Wine's environment for `prefix` without touching the
# caller's own (a native test suite must not run in the Korean locale).
wine_with() { # prefix command...
    local prefix=$1
    shift
    (
        wine_env
        WINEPREFIX="$prefix" "$@"
    )
}

# Whether WINEPREFIX is a finished prefix (a half-made one has no system.reg).
wine_prefix_ready() {
    [ -f "$WINEPREFIX/system.reg" ]
}

# Makes WINEPREFIX when it is not there yet, unmanaged from the start.
# Call it with wine_env in force.
wine_prefix_make() {
    wine_prefix_ready && return 0
    rm -rf "${WINEPREFIX:?}"
    # Set while the new prefix's server still runs: no second Wine start.
    if wineboot -i >/dev/null 2>&1 </dev/null; then wine_unmanaged; fi
    wineserver -w
    wine_prefix_ready
}

# Xvfb has no window manager: without Managed=N Wine waits up to two seconds
# for one to acknowledge each top-level window it maps or unmaps, and
# short-lived windows come late or not at all. Set once per prefix (also
# on one made before this was set); the marker file saves a Wine start on
# every later run.
wine_unmanaged() {
    [ -f "$WINEPREFIX/.sf-unmanaged" ] && return 0
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null &&
        touch "$WINEPREFIX/.sf-unmanaged"
}

# On a person's display the window manager does its work: Wine lets it
# manage the windows again.
wine_managed() {
    wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 </dev/null
    rm -f "$WINEPREFIX/.sf-unmanaged"
}
