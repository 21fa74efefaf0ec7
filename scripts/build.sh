#!/bin/bash
# build.sh CONFIG: configures and builds one configuration into out/CONFIG.
#   native  the core, tests, tools and benchmarks for Linux
#   win32   the plug-in DLL, its tests and tools for 32-bit Windows (run under Wine)
#   asan    native tests with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    native tests with ThreadSanitizer
#   fuzz    the libFuzzer targets (clang)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
config=$1
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
cmake --build "$root/out/$config" -j "$(nproc)"
