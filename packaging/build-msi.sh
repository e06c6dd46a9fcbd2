#!/usr/bin/env bash
# Builds the installer package from staged binaries: the shipped files' components from
# packaging/shipped-files, wixl, then the table fix-ups.
#
#   build-msi.sh BINDIR VERSION OUT.msi
#
# BINDIR holds the shipped files and InstallActions.dll (signed already when the release is
# signed: the package carries the files as they are).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
bin=$(cd "$1" && pwd) version=$2 out=$3
for f in $(shipped_files 1) InstallActions.dll; do
    [ -f "$bin/$f" ] || { echo "build-msi: $bin/$f is missing" >&2; exit 1; }
done
rm -f "$out"
case $out in /*) ;; *) out=$PWD/$out ;; esac
gen=$(mktemp -d)
trap 'rm -rf "$gen"' EXIT

# shipped-components.wxi: a component per shipped file in INSTALLDIR, the file its key path,
# with the entries of its include from the list's last column; shipped-refs.wxi: the
# feature's references to them (wixl 0.101 has no ComponentGroup in a Product).
{
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<!-- Made by packaging/build-msi.sh from packaging/shipped-files. -->'
    echo '<Include xmlns="http://schemas.microsoft.com/wix/2006/wi">'
    echo '  <DirectoryRef Id="INSTALLDIR">'
    while read -r name _ _ guid more; do
        echo "    <Component Id=\"$name\" Guid=\"$guid\" Win64=\"yes\">"
        echo "      <File Id=\"$name\" Source=\"\$(var.BinDir)/$name\" KeyPath=\"yes\"/>"
        if [ "$more" != - ]; then
            [ -f "$here/$more" ] || { echo "build-msi: packaging/$more is missing" >&2; exit 1; }
            echo "      <?include $more?>"
        fi
        echo "    </Component>"
    done < <(shipped_files)
    echo '  </DirectoryRef>'
    echo '</Include>'
} >"$gen/shipped-components.wxi"
{
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<Include xmlns="http://schemas.microsoft.com/wix/2006/wi">'
    for name in $(shipped_files 1); do echo "  <ComponentRef Id=\"$name\"/>"; done
    echo '</Include>'
} >"$gen/shipped-refs.wxi"

# wixl takes source files only by paths relative to where it runs; it warns on stderr about
# attributes it does not know and goes on: the source uses none, so any warning is a fault.
res=$(realpath --relative-to="$bin" "$here/../manager/res")
warnings=$(cd "$bin" && wixl -a x64 -I "$gen" -I "$here" -D Version="$version" -D BinDir=. \
                -D ResDir="$res" -D ActionsDll=InstallActions.dll -o "$out" "$here/halv.wxs" 2>&1) || {
    echo "$warnings" >&2; exit 1; }
if [ -n "$warnings" ]; then echo "$warnings" >&2; echo "build-msi: wixl warned" >&2; exit 1; fi
"$here/fix-tables.sh" "$out" "$bin"
