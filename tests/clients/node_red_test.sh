#!/bin/bash
# node_red_test.sh TEST-FILE...: runs tests of the Node-RED package (clients/node-red) with
# Node.js's own runner, from the package's folder. Where Node.js, npm or the packages of the
# package's lock file are missing the test fails and says so: scripts/setup.sh --node-red-tests
# installs them.
set -euo pipefail
package=$(cd "$(dirname "$0")/../../clients/node-red" && pwd)
for tool in node npm; do
    if ! command -v "$tool" >/dev/null; then
        echo "node_red_test: $tool is missing: run scripts/setup.sh as root" >&2
        exit 1
    fi
done
if ! cmp -s "$package/package-lock.json" "$package/node_modules/.installed-lock.json"; then
    echo "node_red_test: the packages of clients/node-red/package-lock.json are not installed:" \
        "run scripts/setup.sh --node-red-tests as root" >&2
    exit 1
fi
cd "$package"
exec node --test --test-reporter=tap "$@"
