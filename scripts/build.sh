#!/bin/bash
# build.sh CONFIG [TARGET...]: configures one configuration into out/CONFIG and builds it, or
# only the targets named.
#   native  the core, tests, tools and benchmarks for Linux
#   win32   the plug-in DLL, its tests and tools for 32-bit Windows (run under Wine)
#   asan    native tests with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    native tests with ThreadSanitizer
#   fuzz    the libFuzzer targets (clang)
#   clients the command-line client alone, for Linux: out/native/clients/event_client
#           (the Python client, clients/sendrel_send.py, needs no build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
config=${1:?usage: build.sh native|win32|asan|tsan|fuzz|clients [TARGET...]}
shift
targets=("$@")
if [ "$config" = clients ]; then
    config=native
    targets=(event_client)
fi
options=()
case "$config" in
native) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
win32) options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake") ;;
asan) options=(-DCMAKE_BUILD_TYPE=Debug -DSENDREL_SANITIZE=address -DSENDREL_BENCH=OFF) ;;
tsan) options=(-DCMAKE_BUILD_TYPE=Debug -DSENDREL_SANITIZE=thread -DSENDREL_BENCH=OFF) ;;
fuzz) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENDREL_FUZZ=ON -DCMAKE_C_COMPILER=clang
               -DCMAKE_CXX_COMPILER=clang++) ;;
*) echo "unknown configuration: $config" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/out/$config" "${options[@]}" >/dev/null
target_options=()
for target in "${targets[@]}"; do target_options+=(--target "$target"); done
cmake --build "$root/out/$config" -j "$(nproc)" "${target_options[@]}"
