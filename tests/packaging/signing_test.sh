#!/usr/bin/env bash
# The release's signature checks refuse what they must: a changed file, a file not signed, a
# SHA-1 signature, a driver without page hashes, a signer the trust anchors do not know, and
# half a signing configuration. Works on copies of the release's XAPHLINK.sys and Vexmond.exe
# (scripts/release.sh first) with certificates of its own.
#
#   tests/packaging/signing_test.sh [RELEASE_DIR]     (default build/release)
set -uo pipefail
cd "$(dirname "$0")/../.."
. packaging/sign.sh
release=${1:-build/release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check NAME EXPECTED(pass|fail) COMMAND...
    local name=$1 want=$2; shift 2
    if "$@" >"$work/out" 2>&1; then got=pass; else got=fail; fi
    if [ "$got" = "$want" ]; then echo "  ok    $name"; else
        echo "  FAIL  $name: expected $want, got $got"; sed 's/^/        /' "$work/out" | tail -5
        failures=$((failures + 1))
    fi
}
for f in XAPHLINK.sys Vexmond.exe; do
    [ -f "$release/$f" ] || { echo "signing_test: $release/$f is missing: run scripts/release.sh" >&2; exit 1; }
    # Start from the unsigned image whatever the release was.
    ${OSSLSIGNCODE:-osslsigncode} remove-signature -in "$release/$f" -out "$work/plain-$f" >/dev/null 2>&1 ||
        cp "$release/$f" "$work/plain-$f"
done
packaging/make-test-cert.sh "$work/a" >/dev/null
packaging/make-test-cert.sh "$work/b" >/dev/null
export HALV_SIGN_CERT=$work/a/test-signing.crt HALV_SIGN_KEY=$work/a/test-signing.key
unset HALV_SIGN_CAFILE HALV_SIGN_KEY_PASS HALV_SIGN_PKCS11_MODULE HALV_SIGN_TIMESTAMP

echo "signing checks:"
cp "$work/plain-XAPHLINK.sys" "$work/d.sys"
check "a driver signed with page hashes verifies" pass \
    bash -c '. packaging/sign.sh && sign_file "$0" page-hashes && verify_file "$0" page-hashes' "$work/d.sys"
cp "$work/d.sys" "$work/changed.sys"
printf 'X' | dd of="$work/changed.sys" bs=1 seek=1200 conv=notrunc 2>/dev/null
check "a changed file does not" fail verify_file "$work/changed.sys"
check "an unsigned file does not" fail verify_file "$work/plain-Vexmond.exe"
cp "$work/plain-XAPHLINK.sys" "$work/nopage.sys"
sign_file "$work/nopage.sys" >/dev/null 2>&1
check "a driver without page hashes does not pass as one with them" fail verify_file "$work/nopage.sys" page-hashes
${OSSLSIGNCODE:-osslsigncode} sign -certs "$HALV_SIGN_CERT" -key "$HALV_SIGN_KEY" -h sha1 \
    -in "$work/plain-Vexmond.exe" -out "$work/sha1.exe" >/dev/null 2>&1
check "a SHA-1 signature does not" fail verify_file "$work/sha1.exe"
check "a signer outside the trust anchors does not" fail \
    env HALV_SIGN_CAFILE="$work/b/test-signing.crt" bash -c '. packaging/sign.sh && verify_file "$0"' "$work/d.sys"
# Half a configuration ends the release there (exit, not an unsigned release); none at all
# is an unsigned release.
check "a certificate without its key stops the release" pass \
    bash -c 'out=$(env -u HALV_SIGN_KEY bash -c ". packaging/sign.sh; signing_enabled; echo went-on" 2>&1);
             [[ $out == *"go together"* && $out != *went-on* ]]'
check "no signing configuration at all is an unsigned release" pass \
    bash -c 'out=$(env -u HALV_SIGN_KEY -u HALV_SIGN_CERT bash -c ". packaging/sign.sh; signing_enabled || echo unsigned" 2>&1);
             [ "$out" = unsigned ]'

if [ "$failures" -gt 0 ]; then echo "signing checks: $failures failed"; exit 1; fi
echo "signing checks: all passed"
