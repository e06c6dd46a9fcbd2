#!/usr/bin/env bash
# Mends in a package that wixl has built what wixl 0.101 cannot express or writes wrongly,
# with msibuild's SQL. Each change is checked afterwards by packaging/check-msi.sh.
#
#   fix-tables.sh PACKAGE.msi BINDIR
#
# BINDIR holds the files the package was built from; their version resources give the File
# table its versions.
set -euo pipefail
here=$(dirname "$0")
. "$here/lib.sh"
msi=$1 bin=$2

q() { msibuild "$msi" -q "$1" || { echo "fix-tables: failed: $1" >&2; exit 1; }; }
# A table's rows without the three header lines; msiinfo ends each line with CR LF.
export_table() { msiinfo export "$msi" "$1" | tail -n +4 | sed 's/\r$//'; }

# The event source's message file is REG_EXPAND_SZ, as the event log expects it; wixl writes
# Type="expandable" as REG_SZ. A Registry value that starts with "#%" is REG_EXPAND_SZ.
q "UPDATE \`Registry\` SET \`Value\` = '#%[#Vexmond.exe]' WHERE \`Registry\` = 'EventMessageFile'"

# A service that cannot be created fails the installation there and then (wixl drops
# ServiceInstall/@Vital, the 0x8000 bit of ErrorControl; 1 is normal error control).
q "UPDATE \`ServiceInstall\` SET \`ErrorControl\` = 32769 WHERE \`ServiceInstall\` = 'Vexmond'"

# Uninstall takes away the keys of the system, not only their values: a Registry row whose
# name is "-" and whose value is null deletes the key with everything below it when its
# component is removed (wixl has no RegistryKey/@Action).
q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('RemoveEventSourceKey', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Torvale Disk Controller Message Agent', '-', 'Registration')"
q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('RemoveProductKey', 2, 'SOFTWARE\\Torvale Technology Inc.\\HALV', '-', 'Registration')"

# Every file carries a version resource; wixl leaves the File table's Version empty and
# hashes the files as if they were unversioned. Windows Installer's file rules (repair,
# patches) go by the version, and a versioned file has no hash row.
while IFS=$'\t' read -r key name; do
    [ -n "$key" ] || continue
    version=$(pe_file_version "$bin/$name")
    [ -n "$version" ] || { echo "fix-tables: $bin/$name has no version resource" >&2; exit 1; }
    q "UPDATE \`File\` SET \`Version\` = '$version', \`Language\` = '1033' WHERE \`File\` = '$key'"
    q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$key'"
done < <(export_table File | cut -f1,3)

# A package of the same version as the installed one (a rebuild, a re-signed package) replaces
# it too: otherwise, with a new product code, both would be installed side by side with one
# service between them. wixl has no MajorUpgrade/@AllowSameVersionUpgrades; the upper bound
# of the upgrade row becomes inclusive (256 | 512 would be both bounds; only the maximum is
# set). Attributes is part of the table's key, so the row is replaced.
upgrade_code=$(export_table Property | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
version=$(export_table Property | awk -F'\t' '$1 == "ProductVersion" { print $2 }')
q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
