#!/bin/bash
# Installs what building and testing Sendrel needs on Debian 12: packages from Debian's archive,
# and with --node-red-tests (the test command's) the Node-RED package's test packages from the
# npm registry, as its lock file pins them; nothing else reaches beyond Debian's archive, so
# that running and packaging work with the packages in place and no network. Safe to run
# again: it installs only what is missing. Run as root.
#   setup.sh [--node-red-tests]
set -euo pipefail
node_red_tests=false
case "${1:-}" in
    --node-red-tests) node_red_tests=true ;;
    "") ;;
    *) echo "usage: setup.sh [--node-red-tests]" >&2; exit 1 ;;
esac

missing=()
need() {  # need PACKAGE CHECK-COMMAND...
    local package=$1
    shift
    "$@" >/dev/null 2>&1 || missing+=("$package")
}
need g++ command -v g++
need make command -v make
need cmake command -v cmake
need g++-mingw-w64-i686 command -v i686-w64-mingw32-g++-posix
need wine command -v wine
need wine32:i386 test -e /usr/lib/wine/wine
need xvfb command -v Xvfb
need xauth command -v xauth
# Wine's own fonts, for the screenshots (scripts/make-screenshots.sh).
need fonts-wine test -f /usr/share/wine/fonts/marlett.ttf
need googletest test -f /usr/src/googletest/CMakeLists.txt
need clang command -v clang++
need libclang-rt-14-dev test -n "$(ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)"
need procps command -v ps
# The Python client (clients/sendrel_send.py) and its tests, which install it with pip into a
# virtual environment without the package index: the build tools come from Debian.
need python3 test -x /usr/bin/python3
need python3-venv /usr/bin/python3 -c "import ensurepip, venv"
need python3-setuptools /usr/bin/python3 -c "import setuptools"
need python3-wheel /usr/bin/python3 -c "import wheel"
# The MQTT bridge (clients/sendrel_mqtt.py) and its end-to-end test with a broker of its own.
need python3-paho-mqtt test -f /usr/lib/python3/dist-packages/paho/mqtt/client.py
need mosquitto test -x /usr/sbin/mosquitto
# The web service (clients/sendrel_web) and its tests: the certificates it makes
# (--make-certificate), the page in a real headless browser over HTTPS with one of them, a
# certificate of another maker for its host-name check; wrk for its figures
# (bench/web_figures.py).
need python3-aiohttp /usr/bin/python3 -c "import aiohttp"
need python3-cryptography /usr/bin/python3 -c "import cryptography"
need python3-selenium /usr/bin/python3 -c "import selenium"
need chromium command -v chromium
need chromium-driver command -v chromedriver
need openssl command -v openssl
need wrk command -v wrk
# Screenshots of the dialogs (scripts/make-screenshots.sh).
need imagemagick command -v import
need x11-utils command -v xwininfo
# The phone page's icons (scripts/make-icons.py).
need python3-cairo /usr/bin/python3 -c "import cairo"
# The main job driven at a terminal, as a person types at it (tests/host/terminal.cmake).
need tmux command -v tmux
# The Node-RED package (clients/node-red): npm packs it for the release package; its tests run
# in Node-RED's runtime on Node.js (Debian 12's Node.js 18; a newer one already installed is
# kept).
need nodejs command -v node
need npm command -v npm

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing from Debian's archive (a few minutes, the first time only): ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The Node-RED package's test packages (Node-RED and its test helper) from the npm registry,
# exactly as its lock file says, into clients/node-red/node_modules (not part of the project);
# again only when the lock file changed. The copy of the lock file tells the tests what is there.
if ! $node_red_tests; then
    exit 0
fi
node_red=$(cd "$(dirname "$0")/../clients/node-red" && pwd)
if ! cmp -s "$node_red/package-lock.json" "$node_red/node_modules/.installed-lock.json"; then
    echo "Installing the Node-RED package's test packages from the npm registry (a minute)"
    (cd "$node_red" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    cp "$node_red/package-lock.json" "$node_red/node_modules/.installed-lock.json"
fi
