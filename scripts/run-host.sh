#!/bin/bash
# Runs the reference host of a Windows build under Wine with that build's plug-in, as a terminal
# program: it serves the configured port (default 1024) and prints every event as it arrives;
# the input lines config, learn [TEXT], restart and stop are the host's commands; Ctrl+D (end of
# input), Ctrl+C or "stop" stops and closes the plug-in. scripts/run.sh builds, then runs this.
#   run-host.sh BUILD-DIR [--port N] [--password TEXT] [--trace]
#                                      BUILD-DIR: a Windows build (out/win32); --help tells more
# The plug-in's settings live in the registry of the Wine prefix WINEPREFIX (~/.wine-sendrel
# unless set), kept between runs. The exit code is the host's (reference_host --help).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/run-options.sh"
if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
    run_options --help
fi
if [ $# -lt 1 ] || [ ! -f "$1/tools/reference_host.exe" ] || [ ! -f "$1/Sendrel.dll" ]; then
    echo "usage: run-host.sh BUILD-DIR [--port N] [--password TEXT] [--trace]   (BUILD-DIR" \
        "holds a Windows build: bash scripts/build.sh win32 makes out/win32)" >&2
    exit 1
fi
build=$1
shift
run_options "$@"
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-sendrel}"
export WINEDEBUG="${WINEDEBUG:--all}"
host="$build/tools/reference_host.exe"
display=()
[ -n "${DISPLAY:-}" ] || display=(--no-display)

if [ ! -d "$WINEPREFIX" ]; then
    echo "run-host: making the Wine prefix $WINEPREFIX (under a minute, once)"
fi
# The first Windows program of a prefix starts Wine's background services, which keep the
# standard handles they inherit for as long as the prefix runs: start them here, on no
# terminal and no pipe, so that they neither write over the host's output nor hold it open.
"$root/scripts/wine-run.sh" "$host" --help </dev/null >/dev/null 2>&1

# --port and --password go where the settings dialog stores them: the port as 4 bytes, low
# byte first, the password as text. The plug-in reads its main key only when the AccessList
# subkey exists; made here, it comes with the switches the plug-in assumed without it (every
# address allowed, abuse protection on), so that nothing else changes.
reg() { "$root/scripts/wine-run.sh" reg "$@" </dev/null >/dev/null 2>&1; }
key='HKLM\Software\Quorvel3\HardPlugins\Plexador'
if [ -n "$run_port$run_password" ]; then
    if ! reg query "$key\AccessList"; then
        reg add "$key\AccessList" /f &&
            reg add "$key" /v AllowAll /t REG_BINARY /d 01000000 /f &&
            reg add "$key" /v DisableAbuseProtection /t REG_BINARY /d 00000000 /f ||
            { echo "run-host: cannot write the settings in $WINEPREFIX" >&2; exit 1; }
    fi
    if [ -n "$run_port" ]; then
        port=$((10#$run_port))
        reg add "$key" /v Port /t REG_BINARY /d "$(printf '%02x%02x0000' $((port & 255)) \
            $((port >> 8)))" /f || { echo "run-host: cannot store the port" >&2; exit 1; }
    fi
    if [ -n "$run_password" ]; then
        reg add "$key" /v Password /t REG_SZ /d "$run_password" /f ||
            { echo "run-host: cannot store the password" >&2; exit 1; }
    fi
fi
trace=()
[ "$run_trace" = 1 ] && trace=(--trace)

# Wine gives a program whose standard handles include a terminal a console of its own, which
# keeps its own copy of the screen: it echoes Ctrl+D instead of ending the input, and repaints
# lines where it believes they are, over whatever else the terminal shows. Through pipes the
# terminal stays the user's: it edits each line, Ctrl+D ends the input, and output scrolls.
exec 3< <(exec cat)
input_reader=$!
# Ctrl+C reaches every process of the terminal: the writers ignore it, so that the host's
# last lines ("stopping", "stopped") still reach the screen.
exec 4> >(trap '' INT; exec cat >&2)
error_writer=$!
"$root/scripts/wine-run.sh" "$host" run "${display[@]}" "${trace[@]}" "$build/Sendrel.dll" \
    <&3 2>&4 3<&- 4>&- | (trap '' INT; exec cat)
status=${PIPESTATUS[0]}
exec 3<&- 4>&-
wait "$error_writer"
# After a "stop" line the reader still waits for a line of the terminal that is not the
# host's any more.
kill "$input_reader" 2>/dev/null
exit "$status"
