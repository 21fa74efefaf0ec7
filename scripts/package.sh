#!/bin/bash
# Builds the release package for Windows users, out/package/Sendrel-<version>-win32.zip: the
# plug-in DLL, the command-line client and its Python twin, the MQTT bridge, the web service,
# the Node-RED package's tarball (npm pack), the user guide (README.txt), the licence and the
# dialogs' screenshots, made by CPack from the win32 build. Installs what is missing from
# Debian's archive and builds the plug-in and the client for Windows first, saying what it
# does; needs no network once the packages are in place.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
echo "package: building the plug-in and the command-line client for Windows, and packing the Node-RED node, in out/win32"
# Only what goes into the zip: the test command builds the tools and tests.
bash "$root/scripts/build.sh" win32 sendrel event_client node_red_tarball >/dev/null
out="$root/out/package"
mkdir -p "$out"
rm -f "$out"/Sendrel-*-win32.zip
echo "package: packing the plug-in, the clients, the MQTT bridge, the web service, the Node-RED node, the guide and the screenshots"
(cd "$root/out/win32" && cpack -G ZIP -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
echo "package: made"
ls "$out"/Sendrel-*-win32.zip
