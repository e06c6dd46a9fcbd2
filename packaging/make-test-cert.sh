#!/usr/bin/env bash
# Makes a throwaway self-signed code-signing certificate and its key in DIR, for CI and for
# trying the signed release on a lab machine. Never use it for a real release: no Windows
# host trusts it (see docs/DEPLOYMENT.md).
#
#   make-test-cert.sh DIR      writes DIR/test-signing.crt and DIR/test-signing.key
set -euo pipefail
dir=$1
mkdir -p "$dir"
umask 077
openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 30 \
    -subj "/O=Torvale Technology Inc./CN=HALV throwaway test signing" \
    -addext "basicConstraints=critical,CA:FALSE" \
    -addext "keyUsage=critical,digitalSignature" \
    -addext "extendedKeyUsage=critical,codeSigning" \
    -keyout "$dir/test-signing.key" -out "$dir/test-signing.crt" 2>/dev/null
echo "$dir/test-signing.crt"
