#!/bin/bash
# The main job: builds the plug-in DLL and the reference host for Windows and runs the host
# under Wine with the plug-in. It serves the configured port (default 1024) and prints every
# event as it arrives; Ctrl+C or end of input stops it. Installs what is missing first.
#   run.sh [--trace]    --trace also prints the server's trace lines
# Without a display (DISPLAY not set) the dialogs cannot appear: the host says so, and how to
# do without them, when they are asked for.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" win32 >/dev/null
# The plug-in's settings live in this prefix's registry and persist between runs.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-sendrel}"
display=()
[ -n "${DISPLAY:-}" ] || display=(--no-display)
exec "$root/scripts/wine-run.sh" "$root/out/win32/tools/reference_host.exe" run "${display[@]}" \
    "$@" "$root/out/win32/Sendrel.dll"
