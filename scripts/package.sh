#!/bin/bash
# Builds the release package for Windows users, out/package/Sendrel-<version>-win32.zip: the
# plug-in DLL, the command-line client and its Python twin, the user guide (README.txt) and
# the dialogs' screenshots, made by CPack from the win32 build. Installs what is missing and
# builds the win32 configuration first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" win32 >/dev/null
out="$root/out/package"
mkdir -p "$out"
rm -f "$out"/Sendrel-*-win32.zip
(cd "$root/out/win32" && cpack -G ZIP -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/Sendrel-*-win32.zip
