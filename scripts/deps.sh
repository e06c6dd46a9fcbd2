#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those missing.
#   deps.sh native   compilers, CMake, Ninja, GoogleTest, nlohmann-json, python3-jsonschema,
#                    python3-pefile (the kernel-image check)
#   deps.sh windows  the above plus MinGW-w64, Wine, Xvfb and the screenshot tools, the
#                    packaging tools the install tests use, and promtool (Prometheus) for the
#                    textfiles halvctl.exe writes
#   deps.sh release  the native set, MinGW-w64 and the packaging and signing tools (release.sh)
#   deps.sh fuzz     the native set plus clang-14 and its runtime libraries (libFuzzer)
#   deps.sh monitoring  the native set plus Prometheus (with promtool) and node_exporter, for
#                    the monitoring tests; their services are left stopped and disabled (the
#                    tests run instances of their own on loopback)
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
    want+=(prometheus)
fi
if [ "${1:-native}" = fuzz ]; then
    want+=(clang-14 libclang-rt-14-dev)
fi
monitoring=(prometheus prometheus-node-exporter)
if [ "${1:-native}" = monitoring ]; then
    want+=("${monitoring[@]}")
fi
missing=()
for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
# The Prometheus packages start their services from postinst. A policy-rc.d that refuses
# every start (exit 101) keeps invoke-rc.d from doing so where no init system decides; it is
# put in place only for this install when the host has none.
policy=/usr/sbin/policy-rc.d
own_policy=0
starts_services=0
case " ${missing[*]} " in *" prometheus"*) starts_services=1 ;; esac
if [ "$starts_services" = 1 ] && [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    own_policy=1
fi
status=0
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || status=$?
[ "$own_policy" = 1 ] && $SUDO rm -f "$policy"
if [ "$starts_services" = 1 ] && [ -d /run/systemd/system ]; then
    # Under systemd the units are started regardless of policy-rc.d on some releases.
    $SUDO systemctl disable --now prometheus prometheus-node-exporter >/dev/null 2>&1 || true
fi
exit "$status"
