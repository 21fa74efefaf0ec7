#!/bin/bash
# Builds every configuration and runs every test: native, the sanitizer builds, the fuzz
# targets for a fixed number of runs, and the Windows build under Wine. Run as root on a
# fresh Debian 12 machine; installs what is missing first.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" --node-red-tests || exit 1

passed=0
failed=0
failures=()
run_config() {
    local config=$1
    echo "=== $config: build"
    if ! bash "$root/scripts/build.sh" "$config"; then
        failures+=("$config: build")
        failed=$((failed + 1))
        return
    fi
    echo "=== $config: tests"
    local log="$root/out/$config/ctest.log"
    (cd "$root/out/$config" && ctest --output-on-failure -j "$(nproc)") 2>&1 | tee "$log"
    local summary
    summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$summary" ]; then
        failures+=("$config: no test summary")
        failed=$((failed + 1))
        return
    fi
    local bad total
    bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    total=$(echo "$summary" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    [ "$bad" -eq 0 ] || failures+=("$config: $bad failed")
}

for config in ${SENDREL_CONFIGS:-native asan tsan fuzz win32}; do
    run_config "$config"
done

echo
for failure in "${failures[@]}"; do echo "FAILED: $failure"; done
echo "All configurations: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
