#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those missing.
#   deps.sh native   compilers, CMake, Ninja, GoogleTest, nlohmann-json, python3-jsonschema,
#                    python3-pefile (the kernel-image check)
#   deps.sh windows  the above plus MinGW-w64, Wine, Xvfb and the screenshot tools, and the
#                    packaging tools the install tests use
#   deps.sh release  the native set, MinGW-w64 and the packaging and signing tools (release.sh)
#   deps.sh fuzz     the native set plus clang-14 and its runtime libraries (libFuzzer)
set -euo pipefail
want=(g++ cmake ninja-build libgtest-dev nlohmann-json3-dev python3-jsonschema python3-pefile)
packaging=(g++-mingw-w64-x86-64 mingw-w64-tools wixl msitools osslsigncode openssl)
if [ "${1:-native}" = release ]; then
    want+=("${packaging[@]}")
fi
if [ "${1:-native}" = windows ]; then
    want+=("${packaging[@]}")
    # wine (not only wine64) brings the wine, wineboot and wineserver commands; apt-get would
    # install it only as a recommendation, which --no-install-recommends leaves out.
    want+=(g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 fonts-wine xvfb imagemagick xdotool)
fi
if [ "${1:-native}" = fuzz ]; then
    want+=(clang-14 libclang-rt-14-dev)
fi
missing=()
for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
