#!/usr/bin/env bash
# The release's signature checks refuse what they must: a changed file, a file not signed, a
# SHA-1 signature, a driver without page hashes, a signer the trust anchors do not know, half
# a signing configuration, and a signature by a certificate authority's certificate without
# an RFC 3161 time stamp. Works on copies of the release's XAPHLINK.sys and Vexmond.exe
# (scripts/release.sh first) with certificates of its own: a local certificate authority
# issues the signing certificate and that of a time-stamp authority, whose time stamps
# osslsigncode makes itself (no time-stamp server is needed).
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
unset HALV_SIGN_CAFILE HALV_SIGN_KEY_PASS HALV_SIGN_PKCS11_MODULE HALV_SIGN_TIMESTAMP HALV_SIGN_TSA_CAFILE

# The local certificate authority, a code-signing certificate and a time-stamp authority's
# certificate that it issues.
ca=$work/ca
mkdir -p "$ca"
issue() {  # issue NAME SUBJECT EXTENDED-KEY-USAGE
    openssl req -newkey rsa:2048 -nodes -subj "$2" -keyout "$ca/$1.key" -out "$ca/$1.csr" 2>/dev/null &&
        printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,%s\n' "$3" >"$ca/$1.ext" &&
        openssl x509 -req -in "$ca/$1.csr" -CA "$ca/root.crt" -CAkey "$ca/root.key" -CAcreateserial \
            -days 30 -sha256 -extfile "$ca/$1.ext" -out "$ca/$1.crt" 2>/dev/null
}
openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 30 -subj "/CN=HALV test certificate authority" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
    -keyout "$ca/root.key" -out "$ca/root.crt" 2>/dev/null &&
    issue signer "/O=Torvale Technology Inc./CN=HALV test signer" codeSigning &&
    issue tsa "/CN=HALV test time-stamp authority" timeStamping &&
    cat "$ca/tsa.crt" "$ca/root.crt" >"$ca/tsa-chain.crt" ||
    { echo "signing_test: cannot make the test certificate authority" >&2; exit 1; }
# sign_by_ca IN OUT [time-stamped]: signs as a release signed by a certificate authority's
# certificate would be, with an RFC 3161 time stamp from the local authority when asked.
sign_by_ca() {
    local extra=()
    [ "${3:-}" = time-stamped ] && extra=(-TSA-certs "$ca/tsa-chain.crt" -TSA-key "$ca/tsa.key")
    ${OSSLSIGNCODE:-osslsigncode} sign -certs "$ca/signer.crt" -key "$ca/signer.key" -h sha256 \
        "${extra[@]}" -in "$1" -out "$2" >/dev/null 2>&1
}

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

# A signature by a certificate that a certificate authority issued must outlive that
# certificate: it needs an RFC 3161 time stamp, at signing and at verification.
sign_by_ca "$work/plain-Vexmond.exe" "$work/ca-stamped.exe" time-stamped
sign_by_ca "$work/plain-Vexmond.exe" "$work/ca-unstamped.exe"
check "a certificate authority's signature with an RFC 3161 time stamp verifies" pass \
    env HALV_SIGN_CAFILE="$ca/root.crt" HALV_SIGN_TSA_CAFILE="$ca/root.crt" \
    bash -c '. packaging/sign.sh && verify_file "$0"' "$work/ca-stamped.exe"
check "a certificate authority's signature without a time stamp does not" fail \
    env HALV_SIGN_CAFILE="$ca/root.crt" HALV_SIGN_TSA_CAFILE="$ca/root.crt" \
    bash -c '. packaging/sign.sh && verify_file "$0"' "$work/ca-unstamped.exe"
check "a time stamp the time-stamp trust anchors do not know does not" fail \
    env HALV_SIGN_CAFILE="$ca/root.crt" HALV_SIGN_TSA_CAFILE="$work/b/test-signing.crt" \
    bash -c '. packaging/sign.sh && verify_file "$0"' "$work/ca-stamped.exe"
check "a certificate authority's certificate without a time-stamp server stops the release" pass \
    bash -c 'out=$(env -u HALV_SIGN_TIMESTAMP HALV_SIGN_CERT="$0/signer.crt" HALV_SIGN_KEY="$0/signer.key" \
                   bash -c ". packaging/sign.sh; signing_enabled; echo went-on" 2>&1);
             [[ $out == *"RFC 3161"* && $out != *went-on* ]]' "$ca"

if [ "$failures" -gt 0 ]; then echo "signing checks: $failures failed"; exit 1; fi
echo "signing checks: all passed"
