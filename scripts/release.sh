#!/usr/bin/env bash
# The release: the shipped files of packaging/shipped-files (HALV.exe, halvctl.exe,
# Vexmond.exe, XAPHLINK.sys) built optimised (Release), stripped, each with its version
# resource, searched for test-only names, signed when a certificate is given, and the installer
# package HALV-<version>-x64.msi made from them, checked and signed too.
#
#   scripts/release.sh
#
# Environment:
#   HALV_VERSION         product version major.minor.build (default: packaging/product-version)
#   HALV_RELEASE_DIR     where the release goes (default build/release)
#   HALV_RELEASE_BUILD   the CMake build folder (default build/win-release)
#   HALV_SIGN_CERT, HALV_SIGN_KEY, ...   signing, see packaging/sign.sh and docs/DEPLOYMENT.md;
#                        without them the release is unsigned
#
# Ends with the list of files, their sizes and the verified signatures.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. packaging/lib.sh
. packaging/sign.sh

OUT=${HALV_RELEASE_DIR:-build/release}
BUILD=${HALV_RELEASE_BUILD:-build/win-release}
case $OUT in /*) ;; *) OUT=$ROOT/$OUT ;; esac
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
VERSION=${HALV_VERSION:-$(head -n1 packaging/product-version | tr -d '[:space:]')}
[[ $VERSION =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "release: version '$VERSION' is not major.minor.build" >&2; exit 1; }
mapfile -t SHIPPED < <(shipped_files 1)
mapfile -t BUILT < <(shipped_files 2)
mapfile -t SIGNATURE < <(shipped_files 3)
MSI_NAME=HALV-$VERSION-x64.msi
signing=0
signing_enabled && signing=1

scripts/deps.sh release

echo "== build (Release, $VERSION)"
# Only the shipped folders; the version is passed every time, so that an earlier build of
# another version in the same folder does not linger in CMake's cache.
mkdir -p "$BUILD"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DHALV_BUILD_TESTS=OFF \
    "-DHALV_FOLDERS=channel;manager;service;driver;packaging" \
    -DHALV_PRODUCT_VERSION="$VERSION" >"$BUILD/configure.log" 2>&1 \
    || { tail -30 "$BUILD/configure.log"; echo "release: configuring $BUILD failed" >&2; exit 1; }
# The targets are the shipped files' names without their extension.
cmake --build "$BUILD" -j2 --target "${SHIPPED[@]%.*}" InstallActions

echo "== stage"
STAGE=$BUILD/stage
rm -rf "$STAGE"
mkdir -p "$STAGE" "$OUT"
# Only what an earlier release put there goes: the folder may be one of the user's.
rm -f "${SHIPPED[@]/#/$OUT/}" "$OUT"/HALV-*-x64.msi
for built in "${BUILT[@]}"; do cp "$BUILD/$built" "$STAGE/"; done
cp "$BUILD/packaging/InstallActions.dll" "$STAGE/"
for f in "${SHIPPED[@]}" InstallActions.dll; do
    # What ships carries no symbol table (the user-mode programs are linked stripped; the
    # kernel image may still carry its COFF symbols).
    if [ "$(pe_symbol_count "$STAGE/$f")" != 0 ]; then x86_64-w64-mingw32-strip --strip-all "$STAGE/$f"; fi
    [ "$(pe_symbol_count "$STAGE/$f")" = 0 ] || { echo "release: $f still carries symbols" >&2; exit 1; }
done
# One product version in every shipped binary, and as their file version: the package's
# upgrade replaces an installed file only by a newer version of it, so every file's version
# rises with every release.
for f in "${SHIPPED[@]}"; do
    [ "$(pe_product_version "$STAGE/$f")" = "$VERSION.0" ] || {
        echo "release: $f carries product version '$(pe_product_version "$STAGE/$f")', not $VERSION.0" >&2; exit 1; }
    [ "$(pe_file_version "$STAGE/$f")" = "$VERSION.0" ] || {
        echo "release: $f carries file version '$(pe_file_version "$STAGE/$f")', not $VERSION.0" >&2; exit 1; }
done

if [ "$signing" = 1 ]; then
    echo "== sign the binaries"
    for i in "${!SHIPPED[@]}"; do sign_file "$STAGE/${SHIPPED[$i]}" "${SIGNATURE[$i]}"; done
    # Not installed, but run by Windows Installer as LocalSystem: signed like the rest.
    sign_file "$STAGE/InstallActions.dll"
fi

# Every kernel image (signed with page hashes in packaging/shipped-files), as it ships:
# signing rewrites its checksum. Each must be one the kernel loads, also with memory
# integrity on.
for i in "${!SHIPPED[@]}"; do
    [ "${SIGNATURE[$i]}" = page-hashes ] || continue
    tools/check-kernel-image.py "$STAGE/${SHIPPED[$i]}" ||
        { echo "release: ${SHIPPED[$i]} fails the kernel-image check" >&2; exit 1; }
done

# What ships carries no test code: no test-only name in any shipped binary, signatures
# included. The stage holds the very files that go into build/release and, byte for byte
# (check-msi.sh compares them), into the package; nothing is released when one fails.
echo "== shipped binaries"
scripts/check-shipped.sh "$STAGE" || { echo "release: a shipped binary carries a test-only name" >&2; exit 1; }

echo "== package"
packaging/build-msi.sh "$STAGE" "$VERSION" "$STAGE/$MSI_NAME"
packaging/check-msi.sh "$STAGE/$MSI_NAME" "$STAGE"
[ "$signing" = 1 ] && sign_file "$STAGE/$MSI_NAME"

# Every signature is verified before anything is released.
if [ "$signing" = 1 ]; then
    echo "== verify the signatures"
    for i in "${!SHIPPED[@]}"; do verify_file "$STAGE/${SHIPPED[$i]}" "${SIGNATURE[$i]}"; done
    verify_file "$STAGE/InstallActions.dll"
    verify_file "$STAGE/$MSI_NAME"
fi

for f in "${SHIPPED[@]}" "$MSI_NAME"; do cp "$STAGE/$f" "$OUT/"; done

echo "== release $VERSION in $OUT"
for f in "${SHIPPED[@]}" "$MSI_NAME"; do
    printf '  %-24s %9d bytes\n' "$f" "$(stat -c %s "$OUT/$f")"
done
if [ "$signing" = 1 ]; then
    echo "signed (SHA-256; XAPHLINK.sys with page hashes) and verified against ${HALV_SIGN_CAFILE:-$HALV_SIGN_CERT}"
else
    echo "unsigned: set HALV_SIGN_CERT and HALV_SIGN_KEY to sign (docs/DEPLOYMENT.md)"
fi
