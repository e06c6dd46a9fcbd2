#!/usr/bin/env bash
# Builds the installer package from staged binaries: wixl, then the table fix-ups.
#
#   build-msi.sh BINDIR VERSION OUT.msi
#
# BINDIR holds HALV.exe, halvctl.exe, Vexmond.exe, XAPHLINK.sys and InstallActions.dll
# (signed already when the release is signed: the package carries the files as they are).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1" && pwd) version=$2 out=$3
for f in HALV.exe halvctl.exe Vexmond.exe XAPHLINK.sys InstallActions.dll; do
    [ -f "$bin/$f" ] || { echo "build-msi: $bin/$f is missing" >&2; exit 1; }
done
rm -f "$out"
case $out in /*) ;; *) out=$PWD/$out ;; esac
# wixl takes source files only by paths relative to where it runs; it warns on stderr about
# attributes it does not know and goes on: the source uses none, so any warning is a fault.
res=$(realpath --relative-to="$bin" "$here/../manager/res")
warnings=$(cd "$bin" && wixl -a x64 -D Version="$version" -D BinDir=. -D ResDir="$res" \
                -D ActionsDll=InstallActions.dll -o "$out" "$here/halv.wxs" 2>&1) || {
    echo "$warnings" >&2; exit 1; }
if [ -n "$warnings" ]; then echo "$warnings" >&2; echo "build-msi: wixl warned" >&2; exit 1; fi
"$here/fix-tables.sh" "$out" "$bin"
