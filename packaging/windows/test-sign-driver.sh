#!/usr/bin/env bash
# Signs linkpod.sys with a test certificate made here, for TEST MACHINES ONLY
# (Windows test-signing mode, see INSTALL.txt). Release signing is the
# maker's step with the maker's certificate; never ship a test-signed driver.
# Usage: test-sign-driver.sh LINKPOD_SYS [KEY_DIR]
# KEY_DIR keeps the generated key and certificate (created once, reused).
set -euo pipefail
sys=$1
keys=${2:-$(dirname "$sys")/test-signing}
mkdir -p "$keys"
if [ ! -f "$keys/test.key" ]; then
    openssl req -x509 -newkey rsa:3072 -sha256 -days 365 -nodes \
        -subj "/CN=Burnwright LINKPOD test signing (not for release)" \
        -addext "extendedKeyUsage=codeSigning" \
        -keyout "$keys/test.key" -out "$keys/test.crt" 2>/dev/null
    openssl x509 -in "$keys/test.crt" -outform DER -out "$keys/test.cer"
fi
signed=${sys%.sys}.signed.sys
osslsigncode sign -certs "$keys/test.crt" -key "$keys/test.key" -h sha256 \
    -n "LINKPOD (test signed)" -in "$sys" -out "$signed" >/dev/null
osslsigncode verify -CAfile "$keys/test.crt" -in "$signed" >/dev/null
mv "$signed" "$sys"
echo "test-signed $sys; import $keys/test.cer as a trusted root and publisher on the test machine"
# The catalog is made on Windows (inf2cat, see INSTALL.txt); when it lies
# beside the image it is signed with the same certificate.
cat=${sys%.sys}.cat
if [ -f "$cat" ]; then
    osslsigncode sign -certs "$keys/test.crt" -key "$keys/test.key" -h sha256 \
        -in "$cat" -out "$cat.signed" >/dev/null
    mv "$cat.signed" "$cat"
    echo "test-signed $cat"
else
    echo "no $(basename "$cat") beside it: make the catalog (INSTALL.txt) and run this again"
fi
