#!/bin/bash
# flood.sh [native|wine]: floods a running server the way hostile or careless clients would,
# and prints the figures: the client thread's stack reservation read back and its deepest
# use on its worst paths (from the test that measures them), connections held at most, what
# clients beyond capacity saw, memory before, during and after each flood, the login of an
# ordinary client after it, the stop time, and logged-in idle clients until a connection gets
# no thread, then the stop: its time, the notices the held clients got, and a login right
# after the next start. Not a test (it takes minutes); run it after `bash scripts/build.sh native` (and
# `win32` for wine).
#   native  the plug-in in `flood host`, built natively; the host process gets a 2 GiB
#           address space and 1 MiB thread stacks, as a 32-bit host under Windows would
#   wine    the DLL in the reference host under Wine, in a prefix of its own; the host gets
#           2 GiB of address space (not large-address-aware) and 1 MiB thread stacks
# HOLD (default 3000) sets the connections of the capacity flood, SILENT (1000) those of
# the silent flood, EVENTS (1000000) the events of the event flood, LIMIT (5000) the most
# logged-in clients of the thread-limit run. ONLY=limit runs just that run, ONLY=caps just
# the run of connections that never log in (the login deadline, the caps, the stop with
# many of them), ONLY=attack just the crowds of addresses at the total cap (16 addresses with
# 32 silent connections each, 1500 with one each, and a fresh address logging in meanwhile)
# and the wrong-password logins per second from one address and from two taking turns, and
# then the runs of ONLY=churn: the owner's waiting login while fresh addresses churn, a fresh
# address's login while a crowd arrives, and the host's threads during 60 s of silent
# connections from fresh addresses. ONLY=sustain runs just a crowd of fresh addresses that
# never pauses (RATE connections a second: 6000 natively, 1000 under Wine) while the owner
# logs in 10 times answering 0, 100 and 700 ms after its cookie, from an address that logged
# in before and from addresses never seen; then the owner queued behind 0, 1000 and 2400 of
# 3000 fresh connections, and ten times a fresh address 0.3 s into the arrival of 1500.
# ONLY=replay runs just what whoever records the owner's logins or shares its network can do
# (bench/login_replay.cpp): 700 recorded logins replayed over 3000 tries from fresh addresses,
# 480 unanswered cookies held while the owner logs in 300 times, and (natively, where the
# host takes a new password on its input) 17 addresses known under the old password holding
# every place after the owner changed it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-native}
hold=${HOLD:-3000}
silent=${SILENT:-1000}
events=${EVENTS:-1000000}
limit=${LIMIT:-5000}
only=${ONLY:-}
flood=$root/out/native/bench/flood
password=ChgThisPw
work=$(mktemp -d /tmp/sendrel-flood.XXXXXX)
host_pid=
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"

cleanup() {
    exec 3>&- 4>&- 2>/dev/null || true
    if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
        kill "$host_pid" 2>/dev/null || true
    fi
    if [ "$mode" = wine ]; then
        WINEPREFIX=$work/prefix "$root/scripts/wine-run.sh" --finish || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$host_pid/status" 2>/dev/null || echo 0; }
threads() { awk '/^Threads/ {print $2}' "/proc/$host_pid/status" 2>/dev/null || echo 0; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Samples the host's resident memory and threads (the process's own count, every thread it
# has, those that gave their place back but have not yet exited included) every 50 ms while a
# command runs; prints the peaks.
peak_during() {
    local peak=0 most=0 value
    "$@" &
    local job=$!
    while kill -0 "$job" 2>/dev/null; do
        value=$(rss_kb)
        [ "$value" -gt "$peak" ] && peak=$value
        value=$(threads)
        [ "$value" -gt "$most" ] && most=$value
        sleep 0.05
    done
    wait "$job" || true
    echo "  peak memory during: $((peak / 1024)) MiB; threads of the host at most: $most"
}

settle() {  # until the host's memory stops falling, at most 20 s
    local last=0 value
    for _ in $(seq 1 20); do
        sleep 1
        value=$(rss_kb)
        [ "$value" -ge "$last" ] && [ "$last" -ne 0 ] && break
        last=$value
    done
}

start_host() {
    port=$("$flood" port)
    rm -f "$work/in"
    mkfifo "$work/in"
    if [ "$mode" = wine ]; then
        export WINEPREFIX=$work/prefix
        local key='HKLM\Software\Quorvel3\HardPlugins\Plexador'
        local hex
        hex=$(printf '%02x%02x0000' $((port & 255)) $((port >> 8)))
        wine reg add "$key\\AccessList" /f >/dev/null 2>&1
        wine reg add "$key" /v Port /t REG_BINARY /d "$hex" /f >/dev/null 2>&1
        (cd "$root/out/win32" && exec "$root/scripts/wine-run.sh" "$work/host_2gib.exe" run \
            Sendrel.dll) <"$work/in" > >(grep --line-buffered -v '^event "ev"' >"$work/host.log") 2>&1 &
    else
        (ulimit -v 2097152 -s 1024 && exec "$flood" host "$port") <"$work/in" >"$work/host.log" 2>&1 &
    fi
    host_pid=$!
    exec 3>"$work/in"
    for _ in $(seq 1 300); do
        grep -q '^listening' "$work/host.log" 2>/dev/null && break
        sleep 0.1
    done
    grep -q '^listening' "$work/host.log" || { echo "the host did not start"; cat "$work/host.log"; exit 1; }
    sleep 1
    echo "host pid $host_pid on port $port: memory before $(( $(rss_kb) / 1024 )) MiB," \
        "threads $(threads)"
}

stop_host() {
    local started stopped
    started=$(now_ms)
    echo stop >&3
    exec 3>&-
    wait "$host_pid" || echo "  the host ended with status $?"
    stopped=$(now_ms)
    host_pid=
    echo "  stop (qvl_stop, qvl_close, end of the host): $((stopped - started)) ms"
    grep -E '^stopp' "$work/host.log" | sed 's/^/  host: /'
}

after() {
    settle
    echo "  memory after: $(( $(rss_kb) / 1024 )) MiB"
    kill -0 "$host_pid" || { echo "  THE HOST DIED"; exit 1; }
    "$flood" legit "$port" "$password" | sed 's/^/  /'
}

if [ "$mode" = wine ]; then
    [ -x "$root/out/win32/tools/reference_host.exe" ] || { echo "build win32 first"; exit 1; }
    WINEPREFIX=$work/prefix "$root/scripts/wine-run.sh" --init
    # The reference host without its large-address-aware flag: 2 GiB of address space, as
    # most 32-bit hosts have.
    python3 - "$root/out/win32/tools/reference_host.exe" "$work/host_2gib.exe" <<'EOF'
import struct, sys
image = bytearray(open(sys.argv[1], 'rb').read())
characteristics = struct.unpack_from('<I', image, 0x3c)[0] + 22
struct.pack_into('<H', image, characteristics,
                 struct.unpack_from('<H', image, characteristics)[0] & ~0x20)
open(sys.argv[2], 'wb').write(image)
EOF
fi
[ -x "$flood" ] || { echo "build native first"; exit 1; }
echo "== $mode: the client thread's stack, read back and measured on its worst paths"
if [ "$mode" = wine ]; then
    (cd "$root/out/win32" && WINEPREFIX=$work/prefix "$root/scripts/wine-run.sh" \
        tests/sendrel_integration_tests.exe --gtest_filter='client_thread_stack.*') 2>/dev/null
else
    "$root/out/native/tests/sendrel_integration_tests" --gtest_filter='client_thread_stack.*' \
        2>/dev/null
fi | sed -n 's/^client thread stack: /  /p'
if [ -z "$only" ]; then
echo "== $mode: one host through every flood"
start_host
echo "(a) $hold connections that never send anything, held 10 s"
peak_during "$flood" hold "$port" "$hold" 10
after
echo "(b) $silent clients that never send the greeting, held 5 s"
peak_during "$flood" hold "$port" "$silent" 5
after
echo "(c) 4 clients each send a 10 MB line without a line feed"
peak_during "$flood" longline "$port" "$password" 4 10
after
echo "(c) one client sends $events events with nine payloads each"
peak_during "$flood" events "$port" "$password" "$events"
after
stop_host
echo "== $mode: the stop while $hold connections are held"
start_host
"$flood" hold "$port" "$hold" 30 >"$work/hold.log" &
hold_job=$!
for _ in $(seq 1 600); do
    grep -q '^holding' "$work/hold.log" && break
    sleep 0.1
done
sed 's/^/  /' "$work/hold.log"
echo "  memory while held: $(( $(rss_kb) / 1024 )) MiB; threads of the host: $(threads)"
stop_host
wait "$hold_job" || true
sed -n 's/^released/  clients: released/p' "$work/hold.log"
fi

# Waits up to $2 seconds for a line matching $1 in the file $3; false when none came.
wait_for_line() {
    for _ in $(seq 1 $(($2 * 10))); do
        grep -q "$1" "$3" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# The host's own memory line: free address space, its largest piece, a 256 MiB allocation.
host_memory() {
    local before
    before=$(grep -c '^memory:' "$work/host.log" || true)
    echo memory >&3
    for _ in $(seq 1 100); do
        [ "$(grep -c '^memory:' "$work/host.log" || true)" -gt "$before" ] && break
        sleep 0.1
    done
    grep '^memory:' "$work/host.log" | tail -1 | sed "s/^/  $1: /"
}

if [ -z "$only" ] || [ "$only" = caps ]; then
echo "== $mode: connections that never log in (the login deadline and the caps)"
start_host
host_memory "at the start"
echo "(d) 10000 connections that never send anything, from 40 addresses, held 10 s"
"$flood" hold "$port" 10000 10 40 >"$work/caps.log" &
caps_job=$!
wait_for_line '^holding' 600 "$work/caps.log" || true
sed 's/^/  /' "$work/caps.log"
echo "  threads of the host during the flood: $(threads)"
host_memory "during the flood"
wait "$caps_job" || true
flood_ended=$(now_ms)
"$flood" legit "$port" "$password" 127.0.0.77 | sed 's/^/  right after the flood: /' || true
left=$(( 35 - ($(now_ms) - flood_ended) / 1000 ))
[ "$left" -gt 0 ] && sleep "$left"
host_memory "35 s after the flood"
echo "(e) one address holds 3000 connections; a login from another address meanwhile"
"$flood" hold "$port" 3000 15 >"$work/one.log" &
one_job=$!
wait_for_line '^holding' 600 "$work/one.log" || true
sed 's/^/  /' "$work/one.log"
"$flood" legit "$port" "$password" 127.0.0.78 | sed 's/^/  during the flood: /' || true
wait "$one_job" || true
echo "(f) a connection that sends nothing, and one that greets and then sends nothing"
"$flood" deadline "$port" | sed 's/^/  /'
echo "(g) the stop with 400 logged-in idle clients and 500 connections without a login"
mkfifo "$work/mixed-in"
"$flood" mixed "$port" "$password" 400 500 <"$work/mixed-in" >"$work/mixed.log" &
mixed_job=$!
exec 4>"$work/mixed-in"
wait_for_line '^mixed:' 600 "$work/mixed.log" || true
# Until the host has a thread for each of them (under Wine it starts a few hundred a second).
for _ in $(seq 1 600); do
    [ "$(threads)" -ge 900 ] && break
    sleep 0.1
done
echo "  threads of the host: $(threads)"
echo restart >&3
wait_for_line '^restarted' 60 "$work/host.log" && grep '^restarted' "$work/host.log" | tail -1 |
    sed 's/^/  host: /'
echo >&4
exec 4>&-
wait "$mixed_job" || true
sed 's/^/  clients: /' "$work/mixed.log"
stop_host
fi

if [ -z "$only" ] || [ "$only" = attack ]; then
echo "== $mode: a crowd of addresses that never log in, and addresses guessing in turn"
start_host
for crowd in "512 16" "1500 1500"; do
    set -- $crowd
    echo "(h) $2 addresses hold $(($1 / $2)) silent connection(s) each; a login from a fresh address"
    "$flood" hold "$port" "$1" 20 "$2" >"$work/crowd.log" &
    crowd_job=$!
    wait_for_line '^holding' 600 "$work/crowd.log" || true
    sed 's/^/  /' "$work/crowd.log"
    echo "  threads of the host during the crowd: $(threads)"
    "$flood" legit "$port" "$password" 127.0.250.$2 | sed 's/^/  during the crowd: /' || true
    wait "$crowd_job" || true
done
echo "(i) wrong passwords for 10 s each: one address, two in turn, two in turn 16 at a time"
first=3000
for guessers in "1 1" "2 1" "2 16"; do
    "$flood" guess "$port" 10 $guessers $first | sed 's/^/  /'
    first=$((first + 10))
done
"$flood" legit "$port" "$password" 127.0.251.1 | sed 's/^/  the owner, after the guessing: /' || true
[ "$mode" = wine ] && grep -c '^event "Incorrect Password"' "$work/host.log" |
    sed 's/^/  "Incorrect Password" events: /'
stop_host
fi

if [ -z "$only" ] || [ "$only" = attack ] || [ "$only" = churn ]; then
echo "== $mode: fresh addresses churning through the places"
start_host
echo "(j) the owner's waiting login while fresh addresses churn, 5 rounds"
peak_during "$flood" churn "$port" "$password" 5
echo "(k) 1500 fresh addresses arriving while every place is taken"
"$flood" arrival "$port" "$password" 1500 | sed 's/^/  /'
echo "  once settled: $("$flood" legit "$port" "$password" 127.0.252.9)"
echo "(l) 60 s of silent connections from fresh addresses"
peak_during "$flood" storm "$port" 60
stop_host
fi

if [ -z "$only" ] || [ "$only" = replay ]; then
echo "== $mode: recorded logins replayed, cookies held, a changed password"
replay=$root/out/native/bench/login_replay
start_host
"$replay" replay "$port" "$password" 700 3000 | sed 's/^/  /'
"$replay" sharing "$port" "$password" 480 300 | sed 's/^/  /'
stop_host
if [ "$mode" = native ]; then
    start_host
    mkfifo "$work/forgotten-in"
    "$replay" forgotten "$port" "$password" changed-password <"$work/forgotten-in" \
        >"$work/forgotten.log" &
    forgotten_job=$!
    exec 4>"$work/forgotten-in"
    wait_for_line '^ready' 120 "$work/forgotten.log" || echo "  the addresses did not log in"
    echo "password changed-password" >&3
    wait_for_line '^password changed' 30 "$work/host.log" || echo "  the host took no password"
    echo >&4
    exec 4>&-
    wait "$forgotten_job" || true
    sed 's/^/  /' "$work/forgotten.log"
    stop_host
fi
fi

if [ -z "$only" ] || [ "$only" = sustain ]; then
echo "== $mode: a crowd of fresh addresses that never pauses, and the owner logging in"
rate=${RATE:-$([ "$mode" = wine ] && echo 1000 || echo 6000)}
start_host
for who in known new; do
    for delay in 0 100 700; do
        peak_during "$flood" sustain "$port" "$password" "$rate" "$delay" 10 "$who"
    done
done
for who in known new; do
    for position in 0 1000 2400; do
        "$flood" queue "$port" "$password" 3000 "$position" "$who" | sed 's/^/  /'
        sleep 2
    done
done
for _ in $(seq 1 10); do
    "$flood" arrival "$port" "$password" 1500 | sed 's/^/  /'
    sleep 2
done
stop_host
fi

if [ -z "$only" ] || [ "$only" = limit ]; then
echo "== $mode: logged-in idle clients until a connection gets no thread, then the stop"
start_host
mkfifo "$work/limit-in"
"$flood" limit "$port" "$password" "$limit" <"$work/limit-in" >"$work/limit.log" &
limit_job=$!
exec 4>"$work/limit-in"
wait_for_line '^limit:' 1800 "$work/limit.log" || echo "  the clients did not finish logging in"
sed 's/^/  /' "$work/limit.log"
echo "  memory while held: $(( $(rss_kb) / 1024 )) MiB; threads of the host: $(threads)"
echo restart >&3
# The stop's own bounds add up to about 10 s; far beyond them it counts as not returning.
if wait_for_line '^restarted' 180 "$work/host.log"; then
    grep '^restarted' "$work/host.log" | sed 's/^/  host: /'
else
    echo "  qvl_stop DID NOT RETURN within 180 s"
fi
echo >&4
exec 4>&-
wait "$limit_job" || true
sed -n '2,$s/^/  clients: /p' "$work/limit.log"
if grep -q '^restarted' "$work/host.log"; then
    echo "  the next start, a new client at once:"
    "$flood" legit "$port" "$password" | sed 's/^/    /' || true
    stop_host
fi
fi
