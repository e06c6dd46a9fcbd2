# Authenticode signing of the release with osslsigncode. Sourced by scripts/release.sh.
#
# The certificate and key come from the environment only (see docs/DEPLOYMENT.md):
#   HALV_SIGN_CERT        the certificate, PEM or DER, with its intermediate certificates
#   HALV_SIGN_KEY         the private key file, or a PKCS#11 URI with HALV_SIGN_PKCS11_MODULE
#   HALV_SIGN_KEY_PASS    the key's pass phrase, if it has one (read from a file descriptor,
#                         never put on a command line)
#   HALV_SIGN_PKCS11_MODULE  the token's PKCS#11 module (.so) when the key lives on a token
#   HALV_SIGN_TIMESTAMP   a time-stamp server's URL (RFC 3161), so that signatures outlive
#                         the certificate
#   HALV_SIGN_CAFILE      the trust anchors verification uses (default: the certificate
#                         itself, which suits a self-signed test certificate)
# OSSLSIGNCODE names the tool (default osslsigncode).

signing_enabled() {
    [ -n "${HALV_SIGN_CERT:-}" ] || [ -n "${HALV_SIGN_KEY:-}" ] || return 1
    if [ -z "${HALV_SIGN_CERT:-}" ] || [ -z "${HALV_SIGN_KEY:-}" ]; then
        echo "release: HALV_SIGN_CERT and HALV_SIGN_KEY go together" >&2
        exit 1
    fi
    [ -r "$HALV_SIGN_CERT" ] || { echo "release: cannot read HALV_SIGN_CERT=$HALV_SIGN_CERT" >&2; exit 1; }
    return 0
}

# sign_file FILE [page-hashes]: signs FILE in place with SHA-256; "page-hashes" adds the
# per-page hashes that kernel-mode code integrity checks as each page is loaded.
sign_file() {
    local file=$1 extra=() tool=${OSSLSIGNCODE:-osslsigncode}
    [ "${2:-}" = page-hashes ] && extra+=(-ph)
    [ -n "${HALV_SIGN_PKCS11_MODULE:-}" ] && extra+=(-pkcs11module "$HALV_SIGN_PKCS11_MODULE")
    [ -n "${HALV_SIGN_TIMESTAMP:-}" ] && extra+=(-ts "$HALV_SIGN_TIMESTAMP")
    rm -f "$file.signed"
    if [ -n "${HALV_SIGN_KEY_PASS:-}" ]; then
        "$tool" sign -certs "$HALV_SIGN_CERT" -key "$HALV_SIGN_KEY" -readpass <(printf '%s' "$HALV_SIGN_KEY_PASS") \
            -h sha256 -comm -n "HALV" "${extra[@]}" -in "$file" -out "$file.signed" >/dev/null
    else
        "$tool" sign -certs "$HALV_SIGN_CERT" -key "$HALV_SIGN_KEY" \
            -h sha256 -comm -n "HALV" "${extra[@]}" -in "$file" -out "$file.signed" >/dev/null
    fi || { rm -f "$file.signed"; echo "release: signing $file failed" >&2; return 1; }
    mv -f "$file.signed" "$file"
}

# verify_file FILE [page-hashes]: checks FILE's signature against the trust anchors and that
# it is what was asked for: SHA-256, and page hashes where they belong. Prints one line.
verify_file() {
    local file=$1 out tool=${OSSLSIGNCODE:-osslsigncode}
    if ! out=$("$tool" verify -CAfile "${HALV_SIGN_CAFILE:-$HALV_SIGN_CERT}" -in "$file" 2>&1); then
        echo "$out" | tail -20 >&2
        echo "release: the signature of $file does not verify" >&2
        return 1
    fi
    grep -q "Signature verification: ok" <<<"$out" || { echo "release: $file: no verified signature" >&2; return 1; }
    grep -qE "^Message digest algorithm *: SHA256" <<<"$out" || {
        echo "release: $file is not signed with SHA-256" >&2; return 1; }
    if [ "${2:-}" = page-hashes ]; then
        grep -qE "^Page hash algorithm *: SHA256" <<<"$out" || {
            echo "release: $file carries no SHA-256 page hashes" >&2; return 1; }
    fi
    local subject
    subject=$(sed -n 's/^[[:space:]]*Subject: //p' <<<"$out" | head -n1)
    echo "  verified  $(basename "$file")  SHA-256${2:+ + page hashes}  signer $subject"
}
