#!/bin/bash
# Photographs both dialogs as a user sees them, into docs/screenshots/settings_dialog.png and
# docs/screenshots/learn_dialog.png: the reference host runs the plug-in under Wine on an Xvfb
# display of its own (in a throw-away Wine prefix), opens the settings dialog while three
# clients connect, then the learn dialog, and ImageMagick's import takes each window.
# Installs what is missing and builds the plug-in, the host and the client for Windows first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" win32 sendrel reference_host event_client >/dev/null
out="$root/docs/screenshots"
mkdir -p "$out"

work=$(mktemp -d)
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
host="$root/out/win32/tools/reference_host.exe"
client="$root/out/win32/clients/event_client.exe"
plugin="$root/out/win32/Sendrel.dll"
pids=()
cleanup() {
    exec 3>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wineserver -k >/dev/null 2>&1 || true
    [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Waits up to 60 s for a command to succeed.
wait_for() {
    for _ in $(seq 1 600); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "make-screenshots: timed out waiting for: $*" >&2
    return 1
}

Xvfb -displayfd 4 -screen 0 800x600x24 -nolisten tcp 4>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
wait_for test -s "$work/display"
export DISPLAY=":$(cat "$work/display")"

wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
# Wine's own fonts (Debian's fonts-wine) are not in a new prefix, and without them Wine draws
# the caption buttons with letters of another font instead of the symbol font's glyphs, and
# the dialog texts in a substitute: put them where the prefix's programs look.
wine_fonts=/usr/share/wine/fonts
if [ ! -f "$wine_fonts/marlett.ttf" ]; then
    echo "make-screenshots: Wine's fonts are missing ($wine_fonts/marlett.ttf)" >&2
    exit 1
fi
cp "$wine_fonts"/* "$WINEPREFIX/drive_c/windows/Fonts/"
# No window manager: Wine draws the window frames itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
key='HKLM\Software\Quorvel3\HardPlugins\Plexador'
# The port is the default one, as a user first sees it in the dialog.
port=1024
wine reg add "$key\\AccessList" /f >/dev/null 2>&1
wine reg add "$key" /v Port /t REG_DWORD /d "$port" /f >/dev/null 2>&1
wine reg add "$key" /v Password /t REG_SZ /d ChgThisPw /f >/dev/null 2>&1
wine reg add "$key" /v AllowAll /t REG_DWORD /d 0 /f >/dev/null 2>&1
wine reg add "$key\\AccessList" /v AccessList000 /t REG_SZ /d 127.0.0.1 /f >/dev/null 2>&1
wine reg add "$key\\AccessList" /v AccessList001 /t REG_SZ /d 192.168.1.0/24 /f >/dev/null 2>&1
wine reg add "$key\\AccessList" /v AccessList002 /t REG_SZ /d /printer.example /f >/dev/null 2>&1
wineserver -w

mkfifo "$work/input"
wine "$host" run "$plugin" <"$work/input" >"$work/host.out" 2>&1 &
pids+=($!)
exec 3>"$work/input"
wait_for grep -qE "listening on port|reference_host: " "$work/host.out"
if ! grep -q "listening on port" "$work/host.out"; then
    echo "make-screenshots: the plug-in did not start on port $port (is another program" \
        "using it? ss -ltnp shows which):" >&2
    cat "$work/host.out" >&2
    exit 1
fi

# The window of that caption, once it is shown.
window_of() { xwininfo -name "$1" | awk '/Window id/ {print $4}'; }
shoot() {  # shoot CAPTION FILE
    wait_for window_of "$1"
    wait_for xwininfo -name "$1"
    sleep 1  # let the window finish painting
    import -window "$(window_of "$1")" "$2"
    echo "wrote $2"
}

echo config >&3
wait_for xwininfo -name Sendrel
# Connections that arrive while the dialog is open fill its "Open connections" list.
for event in Doorbell Kitchen Garage; do
    wine "$client" --port "$port" --stay "$event" >/dev/null 2>&1 &
    pids+=($!)
done
accepted() { [ "$(grep -c '"Accepted connection"' "$work/host.out")" -ge "$1" ]; }
wait_for accepted 3
shoot Sendrel "$out/settings_dialog.png"

echo "learn Doorbell" >&3
shoot "Enter EventString" "$out/learn_dialog.png"
echo stop >&3
