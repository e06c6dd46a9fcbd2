#!/usr/bin/env bash
# Checks an installer package's tables with msiinfo export: every row that decides what the
# package installs, and the mends of packaging/fix-tables.sh. Run by scripts/release.sh on
# every package it makes.
#
#   check-msi.sh PACKAGE.msi BINDIR
#
# BINDIR holds the files the package was built from (sizes and versions are compared).
# Prints each failed expectation and ends with status 1 if there was one.
set -uo pipefail
here=$(dirname "$0")
. "$here/lib.sh"
msi=$(realpath "$1") bin=$2
failures=0
# msiinfo export writes a table's streams (Binary, Icon) as files where it runs.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-msi: $*" >&2; failures=$((failures + 1)); }

# The rows of TABLE, without the three header lines; msiinfo ends each line with CR LF, and
# only that CR goes (one inside a value is a fault to see).
rows() { (cd "$scratch" && msiinfo export "$msi" "$1" 2>/dev/null) | tail -n +4 | sed 's/\r$//'; }
# expect_row TABLE FIELD... : a row with exactly these fields (tab-separated) exists.
expect_row() {
    local table=$1; shift
    local IFS=$'\t'; local want="$*"
    rows "$table" | grep -qxF -- "$want" || fail "$table has no row: $(printf '%s' "$want" | tr '\t' '|')"
}
# expect_count TABLE N [PATTERN]: TABLE has N rows (matching the extended regex PATTERN).
expect_count() {
    local n
    n=$(rows "$1" | grep -cE -- "${3:-.}")
    [ "$n" = "$2" ] || fail "$1 has $n rows${3:+ matching $3}, not $2"
}
property() { rows Property | awk -F'\t' -v p="$1" '$1 == p { print $2 }'; }
sequence() { rows InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }

version=$(property ProductVersion)
upgrade_code={A39A80A3-24CF-4055-8B3D-2FBFF7EBEBFB}
vexmond_component=Vexmond.exe

# ---- The product: per machine, x64, a stable upgrade code, Add/Remove Programs entries.
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "ProductVersion '$version' is not major.minor.build"
[ "$(property ProductName)" = HALV ] || fail "ProductName is '$(property ProductName)'"
[ "$(property Manufacturer)" = "Torvale Technology Inc." ] || fail "Manufacturer is '$(property Manufacturer)'"
[ "$(property UpgradeCode)" = "$upgrade_code" ] || fail "UpgradeCode is '$(property UpgradeCode)'"
[ "$(property ALLUSERS)" = 1 ] || fail "ALLUSERS is '$(property ALLUSERS)', the package is not per machine"
[ "$(property ARPPRODUCTICON)" = halv.ico ] || fail "no Add/Remove Programs icon"
expect_count Icon 1 '^halv\.ico'
msiinfo suminfo "$msi" | grep -qx "Template: x64;1033" || fail "the summary's template is not x64;1033"

# ---- The files: one folder under Program Files, every component 64-bit, sizes and versions
# of the staged files.
expect_row Directory TorvaleFolder ProgramFiles64Folder Torvale
expect_row Directory INSTALLDIR TorvaleFolder HALV
expect_count File 4
expect_count Component 5
for name in HALV.exe halvctl.exe Vexmond.exe XAPHLINK.sys; do
    size=$(stat -c %s "$bin/$name")
    fv=$(pe_file_version "$bin/$name")
    row=$(rows File | awk -F'\t' -v f="$name" '$1 == f')
    field() { awk -F'\t' -v n="$1" '{ print $n }' <<<"$row"; }
    comp=$(field 2) fname=$(field 3) fsize=$(field 4) fversion=$(field 5) flang=$(field 6)
    [ "$fname" = "$name" ] && [ "$comp" = "$name" ] || fail "File row of $name: '$row'"
    [ "$fsize" = "$size" ] || fail "File $name has size $fsize, the staged file $size"
    [ -n "$fv" ] && [ "$fversion" = "$fv" ] || fail "File $name has version '$fversion', the file '$fv'"
    [ "$flang" = 1033 ] || fail "File $name has language '$flang'"
    expect_row Component "$name" "$(rows Component | awk -F'\t' -v c="$name" '$1 == c { print $2 }')" INSTALLDIR 256 "" "$name"
done
# The cabinet carries exactly the staged files, byte for byte (signed ones when signed).
msiextract -C "$scratch/files" "$msi" >/dev/null 2>&1 || fail "the package's files cannot be extracted"
for name in HALV.exe halvctl.exe Vexmond.exe XAPHLINK.sys; do
    cmp -s "$scratch/files/Torvale/HALV/$name" "$bin/$name" ||
        fail "the package's $name is not the staged one"
done
for attributes in $(rows Component | cut -f4); do
    [ $((attributes & 256)) = 256 ] || fail "a component is not 64-bit (attributes $attributes)"
done
expect_count MsiFileHash 0
expect_row Shortcut HalvStartMenu ProgramMenuFolder HALV HALV.exe "[#HALV.exe]" "" \
    "Torvale Disk Controller Manager" "" halv.ico "" "" INSTALLDIR "" "" "" ""
expect_row RemoveFile RemoveInstallDir "$vexmond_component" "" INSTALLDIR 2
expect_row RemoveFile RemoveTorvaleFolder Registration "" TorvaleFolder 2

# ---- The registry: the event source with its types, the program's own values, and the
# keys that uninstall takes away.
evt='SYSTEM\CurrentControlSet\Services\EventLog\Application\Torvale Disk Controller Message Agent'
svc='SOFTWARE\Torvale Technology Inc.\HALV\Service\Vexmond'
expect_count Registry 7
expect_row Registry EventMessageFile 2 "$evt\\" EventMessageFile '#%[#Vexmond.exe]' Registration
expect_row Registry TypesSupported 2 "$evt\\" TypesSupported '#7' Registration
expect_row Registry ServiceName 2 "$svc\\" ServiceName Vexmond Registration
expect_row Registry ServiceDisplayName 2 "$svc\\" ServiceDisplayName "Torvale Strata Message Agent" Registration
expect_row Registry ServiceBinaryPath 2 "$svc\\" ServiceBinaryPath "[#Vexmond.exe]" Registration
expect_row Registry RemoveEventSourceKey 2 "$evt" - "" Registration
expect_row Registry RemoveProductKey 2 'SOFTWARE\Torvale Technology Inc.\HALV' - "" Registration
# The registry entries' component: 64-bit (its values go to the 64-bit view the service
# reads), in the vendor folder, its key path the program's path value.
expect_row Component Registration "{D993BC8B-0521-4643-A01E-38B09B4FF3B2}" TorvaleFolder 260 "" ServiceBinaryPath

# ---- The service: as the program's own install makes it (own process 16, automatic 2,
# normal error control 1 with the vital bit 0x8000, LocalSystem, RPCSS), started at
# install, stopped at install and uninstall, removed at uninstall (163), waited for.
expect_row ServiceInstall Vexmond Vexmond "Torvale Strata Message Agent" 16 2 32769 "" "RPCSS[~][~]" "" "" "" "$vexmond_component" ""
expect_row ServiceControl Vexmond Vexmond 163 "" 1 "$vexmond_component"
expect_count ServiceInstall 1
expect_count ServiceControl 1
# Its command line quoted, by the package's custom action, between creation and start.
expect_row CustomAction SetServiceCommandLineData 2099 SetServiceCommandLine "Vexmond|[#Vexmond.exe]" ""
expect_row CustomAction SetServiceCommandLine 3073 InstallActions SetServiceCommandLine ""
expect_count Binary 1 '^InstallActions'
install=$(sequence InstallServices) data=$(sequence SetServiceCommandLineData)
action=$(sequence SetServiceCommandLine) start=$(sequence StartServices)
[ -n "$install" ] && [ -n "$data" ] && [ -n "$action" ] && [ -n "$start" ] &&
    [ "$install" -lt "$data" ] && [ "$data" -lt "$action" ] && [ "$action" -lt "$start" ] ||
    fail "InstallServices ($install), the command-line action ($data, $action) and StartServices ($start) are out of order"
rows InstallExecuteSequence | grep -qxF "$(printf 'SetServiceCommandLine\tNOT REMOVE="ALL"\t%s' "$action")" ||
    fail "the command-line action runs at uninstall too"

# A stop that StopServices begins is waited for before services and files go.
expect_row CustomAction AwaitServiceStopData 2099 AwaitServiceStop Vexmond ""
expect_row CustomAction AwaitServiceStop 3137 InstallActions AwaitServiceStop ""
stop=$(sequence StopServices) await_data=$(sequence AwaitServiceStopData)
await=$(sequence AwaitServiceStop) delete=$(sequence DeleteServices)
[ -n "$stop" ] && [ -n "$await_data" ] && [ -n "$await" ] && [ -n "$delete" ] &&
    [ "$stop" -lt "$await_data" ] && [ "$await_data" -lt "$await" ] && [ "$await" -lt "$delete" ] ||
    fail "StopServices ($stop), the wait for the stop ($await_data, $await) and DeleteServices ($delete) are out of order"

# ---- Upgrades: an older or equal version is replaced, a newer one refused with a message;
# the older product goes before anything is installed.
expect_row Upgrade "$upgrade_code" "" "$version" "" 513 "" WIX_UPGRADE_DETECTED
expect_row Upgrade "$upgrade_code" "$version" "" "" 2 "" WIX_DOWNGRADE_DETECTED
expect_count Upgrade 2
rows LaunchCondition | grep -q "^NOT WIX_DOWNGRADE_DETECTED"$'\t'"A newer version of \[ProductName\] is already installed" ||
    fail "no downgrade message"
rep=$(sequence RemoveExistingProducts) validate=$(sequence InstallValidate) init=$(sequence InstallInitialize)
[ -n "$rep" ] && [ "$validate" -lt "$rep" ] && [ "$rep" -lt "$init" ] ||
    fail "RemoveExistingProducts ($rep) is not between InstallValidate ($validate) and InstallInitialize ($init)"

if [ "$failures" -gt 0 ]; then
    echo "check-msi: $msi: $failures failed expectations" >&2
    exit 1
fi
echo "  tables of $(basename "$msi") checked"
