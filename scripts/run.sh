#!/bin/bash
# The main job: builds the plug-in DLL and the reference host for Windows and runs the host
# under Wine with the plug-in (scripts/run-host.sh). It serves the configured port (default
# 1024) and prints every event as it arrives; the input lines config, learn [TEXT], restart
# and stop are the host's commands; Ctrl+D, Ctrl+C or "stop" stops it. Installs what is
# missing first.
#   run.sh [--port N] [--password TEXT] [--trace]    (run.sh --help tells more)
# Without a display (DISPLAY not set) the dialogs cannot appear: the host says so, and how to
# do without them, when they are asked for.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/run-options.sh"
run_options "$@"
bash "$root/scripts/setup.sh"
if [ -f "$root/out/win32/Sendrel.dll" ]; then
    echo "run: building the plug-in (out/win32)"
else
    echo "run: building the plug-in and the reference host (under a minute the first time)"
fi
# Only what the host needs: the Windows tests are built by the test command.
bash "$root/scripts/build.sh" win32 sendrel reference_host >/dev/null
exec bash "$root/scripts/run-host.sh" "$root/out/win32" "$@"
