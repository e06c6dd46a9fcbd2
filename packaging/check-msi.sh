#!/usr/bin/env bash
# Checks an installer package's tables with msiinfo export: the files against the list of
# shipped files (packaging/shipped-files) and the staged binaries, the mends of
# packaging/fix-tables.sh, and the order of the sequence's entries that depend on each other.
# What halv.wxs states and wixl writes as stated is not repeated here. Run by
# scripts/release.sh on every package it makes.
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
# Add/Remove Programs, Intune detection and Group Policy know the product by it.
upgrade_code={A39A80A3-24CF-4055-8B3D-2FBFF7EBEBFB}
mapfile -t shipped < <(shipped_files 1)

# ---- The product: per machine, x64, a stable upgrade code.
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "ProductVersion '$version' is not major.minor.build"
[ "$(property UpgradeCode)" = "$upgrade_code" ] || fail "UpgradeCode is '$(property UpgradeCode)'"
[ "$(property ALLUSERS)" = 1 ] || fail "ALLUSERS is '$(property ALLUSERS)', the package is not per machine"
msiinfo suminfo "$msi" | grep -qx "Template: x64;1033" || fail "the summary's template is not x64;1033"

# ---- The files: exactly the shipped ones, each in its 64-bit component in the install
# folder, with the staged file's size, and the version and language that fix-tables.sh gives
# the File table from the file's version resource (and no hash, as for a versioned file).
expect_count File "${#shipped[@]}"
for name in "${shipped[@]}"; do
    row=$(rows File | awk -F'\t' -v f="$name" '$1 == f')
    [ -n "$row" ] || { fail "the package has no file $name"; continue; }
    # Empty fields are kept apart: '|' is no whitespace to read, and no table value holds one
    # but a file name's short|long form.
    IFS='|' read -r comp fname fsize fversion flang <<<"$(awk -F'\t' -v OFS='|' '{ sub(/^.*\|/, "", $3); print $2, $3, $4, $5, $6 }' <<<"$row")"
    [ "$fname" = "$name" ] && [ "$comp" = "$name" ] || fail "File row of $name: '$row'"
    [ "$fsize" = "$(stat -c %s "$bin/$name")" ] || fail "File $name has size $fsize, the staged file $(stat -c %s "$bin/$name")"
    fv=$(pe_file_version "$bin/$name")
    [ -n "$fv" ] && [ "$fversion" = "$fv" ] || fail "File $name has version '$fversion', the file '$fv'"
    [ "$flang" = 1033 ] || fail "File $name has language '$flang'"
    IFS='|' read -r dir attributes keypath <<<"$(rows Component | awk -F'\t' -v OFS='|' -v c="$name" '$1 == c { print $3, $4, $6 }')"
    [ "$dir" = INSTALLDIR ] && [ "$keypath" = "$name" ] && [ $((attributes & 256)) = 256 ] ||
        fail "the component of $name is not a 64-bit one in INSTALLDIR keyed by the file"
done
expect_count MsiFileHash 0
# The cabinet carries exactly the staged files, byte for byte (signed ones when signed).
msiextract -C "$scratch/files" "$msi" >/dev/null 2>&1 || fail "the package's files cannot be extracted"
for name in "${shipped[@]}"; do
    cmp -s "$scratch/files/Torvale/HALV/$name" "$bin/$name" ||
        fail "the package's $name is not the staged one"
done

# ---- The mends of fix-tables.sh: the event source's message file REG_EXPAND_SZ, the keys
# that uninstall takes away, the service's creation vital.
evt='SYSTEM\CurrentControlSet\Services\EventLog\Application\Torvale Disk Controller Message Agent'
expect_row Registry EventMessageFile 2 "$evt\\" EventMessageFile '#%[#Vexmond.exe]' Registration
expect_row Registry RemoveEventSourceKey 2 "$evt" - "" Registration
expect_row Registry RemoveProductKey 2 'SOFTWARE\Torvale Technology Inc.\HALV' - "" Registration
[ "$(rows ServiceInstall | awk -F'\t' '$1 == "Vexmond" { print $6 }')" = 32769 ] ||
    fail "the service's creation is not vital (ErrorControl 0x8000 | normal)"

# ---- The driver service "KvDpcService" is the custom action's, never a ServiceControl row's:
# Windows Installer stops a running service that such a row deletes.
[ -z "$(rows ServiceControl | awk -F'\t' '$2 == "KvDpcService"')" ] ||
    fail "a ServiceControl row would stop KvDpcService before deleting it"

# ---- The order of what depends on each other.
# in_order WHAT ACTION...: each action is in the sequence, each after the one before.
in_order() {
    local what=$1 previous=0 action at; shift
    for action in "$@"; do
        at=$(sequence "$action")
        if [ -z "$at" ] || [ "$at" -le "$previous" ]; then
            fail "$what: $* are out of order ($action at '${at:-none}')"
            return
        fi
        previous=$at
    done
}
# The install folder is checked once resolved, before anything is changed; Add/Remove
# Programs' location is set from it.
in_order "the install folder's check" CostFinalize CheckInstallFolder InstallValidate InstallInitialize
in_order "the install location" CostFinalize SetARPINSTALLLOCATION RegisterProduct
# The service's command line quoted between its creation and its start, never at uninstall.
in_order "the service's command line" InstallServices SetServiceCommandLineData SetServiceCommandLine StartServices
rows InstallExecuteSequence | grep -qxF "$(printf 'SetServiceCommandLine\tNOT REMOVE="ALL"\t%s' "$(sequence SetServiceCommandLine)")" ||
    fail "the command-line action runs at uninstall too"
# A stop that StopServices begins is waited for before services and files go.
in_order "the wait for the service's stop" StopServices AwaitServiceStopData AwaitServiceStop DeleteServices RemoveFiles
# The driver service goes at removal, after the service is deleted, before the files.
in_order "the driver service's removal" DeleteServices RemoveDriverServiceData RemoveDriverService RemoveFiles
[ "$(rows InstallExecuteSequence | awk -F'\t' '$1 == "RemoveDriverService" { print $2 }')" = 'REMOVE="ALL"' ] ||
    fail "the driver service's removal does not run at removal only"
# The metrics schedule: registered once halvctl.exe is in place, its rollback before it; at
# removal taken away after the files, when it can tell whether halvctl.exe is gone.
in_order "the metrics task's registration" InstallFiles RegisterMetricsTaskData RegisterMetricsTaskRollback RegisterMetricsTask InstallFinalize
in_order "the metrics task's removal" RemoveFiles RemoveMetricsTaskData RemoveMetricsTask InstallFinalize
# The upgrade in place: the older product goes after the newer one is installed.
in_order "the upgrade" InstallFiles StartServices InstallExecute RemoveExistingProducts InstallFinalize

# ---- Upgrades: an older or equal version is replaced (fix-tables.sh makes the maximum
# inclusive), a newer one refused.
expect_row Upgrade "$upgrade_code" "" "$version" "" 513 "" WIX_UPGRADE_DETECTED
expect_row Upgrade "$upgrade_code" "$version" "" "" 2 "" WIX_DOWNGRADE_DETECTED
expect_count Upgrade 2

if [ "$failures" -gt 0 ]; then
    echo "check-msi: $msi: $failures failed expectations" >&2
    exit 1
fi
echo "  tables of $(basename "$msi") checked"
