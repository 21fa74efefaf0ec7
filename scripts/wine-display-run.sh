#!/bin/sh
# Runs a Windows program under Wine on a display of its own: starts Xvfb on a free display,
# makes a fresh Wine prefix there (WINEPREFIX, required), runs the program, then stops the
# prefix's wineserver and Xvfb. For the programs that drive real windows.
#   WINEPREFIX=DIR wine-display-run.sh PROGRAM ARGS...
# The exit code is the program's.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the prefix this run may make anew}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
finish() {
    wineserver -k >/dev/null 2>&1
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    rm -f "$display_file"
}
trap finish EXIT
for _ in $(seq 1 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
done
if [ ! -s "$display_file" ]; then
    echo "wine-display-run: Xvfb did not start" >&2
    exit 1
fi
DISPLAY=":$(cat "$display_file")"
export DISPLAY

wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineboot -i </dev/null >/dev/null 2>&1 || exit 1
wineserver -w </dev/null >/dev/null 2>&1
# No window manager runs on this display: Wine draws the frames itself, and does not wait for a
# manager to acknowledge every window that is hidden.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
wineserver -w </dev/null >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1
# Wine's background services inherit the first program's output: start them detached.
wine cmd /c exit </dev/null >/dev/null 2>&1
wine "$@"
status=$?
exit $status
