# Authenticode signing of the release with osslsigncode. Sourced by scripts/release.sh.
#
# The certificate and key come from the environment only (see docs/DEPLOYMENT.md):
#   HALV_SIGN_CERT        the certificate, PEM or DER, with its intermediate certificates
#   HALV_SIGN_KEY         the private key file, or a PKCS#11 URI with HALV_SIGN_PKCS11_MODULE
#   HALV_SIGN_KEY_PASS    the key's pass phrase, if it has one (read from a file descriptor,
#                         never put on a command line)
#   HALV_SIGN_PKCS11_MODULE  the token's PKCS#11 module (.so) when the key lives on a token
#   HALV_SIGN_TIMESTAMP   a time-stamp server's URL (RFC 3161), so that signatures outlive
#                         the certificate; required when the certificate is not self-signed
#   HALV_SIGN_CAFILE      the trust anchors verification uses (default: the certificate
#                         itself, which suits a self-signed test certificate)
#   HALV_SIGN_TSA_CAFILE  the trust anchors of the time stamps (default: osslsigncode's, the
#                         system's certificate authorities)
# OSSLSIGNCODE names the tool (default osslsigncode).

signing_enabled() {
    [ -n "${HALV_SIGN_CERT:-}" ] || [ -n "${HALV_SIGN_KEY:-}" ] || return 1
    if [ -z "${HALV_SIGN_CERT:-}" ] || [ -z "${HALV_SIGN_KEY:-}" ]; then
        echo "release: HALV_SIGN_CERT and HALV_SIGN_KEY go together" >&2
        exit 1
    fi
    [ -r "$HALV_SIGN_CERT" ] || { echo "release: cannot read HALV_SIGN_CERT=$HALV_SIGN_CERT" >&2; exit 1; }
    # A release signature must outlive the certificate: once it expires, Windows (and with it
    # AppLocker and WDAC publisher rules) accepts a signature only with a time stamp proving
    # that it was made while the certificate was valid. Only a self-signed test certificate,
    # which no host trusts anyway, may sign without one.
    if ! certificate_self_signed "$HALV_SIGN_CERT" && [ -z "${HALV_SIGN_TIMESTAMP:-}" ]; then
        echo "release: HALV_SIGN_CERT was issued by a certificate authority: set HALV_SIGN_TIMESTAMP to an RFC 3161 time-stamp server's URL" >&2
        exit 1
    fi
    return 0
}

# certificate_self_signed FILE: whether the first certificate in FILE (PEM or DER) is issued by
# its own subject.
certificate_self_signed() {
    local names
    names=$(openssl x509 -in "$1" -noout -subject -issuer -nameopt RFC2253 2>/dev/null ||
            openssl x509 -inform DER -in "$1" -noout -subject -issuer -nameopt RFC2253 2>/dev/null) || return 1
    [ "$(sed -n 's/^subject=//p' <<<"$names")" = "$(sed -n 's/^issuer=//p' <<<"$names")" ]
}

# sign_file FILE [plain|page-hashes]: signs FILE in place with SHA-256; "page-hashes" adds the
# per-page hashes that kernel-mode code integrity checks as each page is loaded. With
# HALV_SIGN_TIMESTAMP the signature carries an RFC 3161 time stamp (-ts; -t would be the
# older Authenticode form).
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

# verify_file FILE [plain|page-hashes]: checks FILE's signature against the trust anchors and
# that it is what was asked for: SHA-256, page hashes where they belong, and an RFC 3161 time
# stamp that verifies when the signer's certificate is not self-signed. Prints one line.
verify_file() {
    local file=$1 out tool=${OSSLSIGNCODE:-osslsigncode} tsa=()
    [ -n "${HALV_SIGN_TSA_CAFILE:-}" ] && tsa=(-TSA-CAfile "$HALV_SIGN_TSA_CAFILE")
    if ! out=$("$tool" verify -CAfile "${HALV_SIGN_CAFILE:-$HALV_SIGN_CERT}" "${tsa[@]}" -in "$file" 2>&1); then
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
    # The signer's certificate comes first in the output, its issuer after its subject.
    local subject issuer stamped="" p7
    subject=$(sed -n 's/^[[:space:]]*Subject: //p' <<<"$out" | head -n1)
    issuer=$(sed -n 's/^[[:space:]]*Issuer : //p' <<<"$out" | head -n1)
    if grep -q "^Timestamp Server Signature verification: ok" <<<"$out"; then
        # The time stamp is an RFC 3161 one: the countersignature's attribute is
        # szOID_RFC3161_counterSign (the older Authenticode form has another).
        p7=$(mktemp -d)  # osslsigncode writes no file that exists already
        "$tool" extract-signature -in "$file" -out "$p7/signature" >/dev/null 2>&1 &&
            openssl asn1parse -inform DER -in "$p7/signature" 2>/dev/null |
            grep -q ":1\.3\.6\.1\.4\.1\.311\.3\.3\.1[[:space:]]*$" &&
            stamped=" + RFC 3161 time stamp"
        rm -rf "$p7"
    fi
    if [ "$subject" != "$issuer" ] && [ -z "$stamped" ]; then
        echo "release: $file is signed by a certificate authority's certificate without a verified RFC 3161 time stamp" >&2
        return 1
    fi
    local hashes=""
    [ "${2:-}" = page-hashes ] && hashes=" + page hashes"
    echo "  verified  $(basename "$file")  SHA-256$hashes$stamped  signer $subject"
}
