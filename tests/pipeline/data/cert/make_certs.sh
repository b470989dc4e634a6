#!/bin/sh
# Makes the certificate-input fixtures of decode_cert_test.cpp with the
# OpenSSL command line: a CA and an end entity (SHA-1 signatures, valid
# into 2048, so that their times are UTCTime and fit the key database's
# 32-bit times), the CA's empty CRL, a degenerate PKCS #7 of both
# certificates and the CRL, a message signed by the end entity, an enveloped PKCS #7 for
# the end entity holding the degenerate one, the end entity's PKCS #8 key,
# and a PEM PKCS #7 of the CA certificate. Run it in this directory.
set -e
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:1024 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" -days 8000 -sha1 \
    -subj '/CN=Cert Test CA'
openssl req -newkey rsa:1024 -nodes -keyout "$work/ee.key" -out "$work/ee.csr" -subj '/CN=Cert Test EE'
openssl x509 -req -in "$work/ee.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial 7 -days 8000 -sha1 \
    -out "$work/ee.pem"
openssl x509 -in "$work/ca.pem" -outform DER -out ca.der
openssl x509 -in "$work/ee.pem" -outform DER -out ee.der
mkdir -p "$work/db" && touch "$work/db/index" && echo 01 > "$work/db/crlnumber"
printf '[ca]\ndefault_ca=c\n[c]\ndatabase=%s/db/index\ncrlnumber=%s/db/crlnumber\ndefault_md=sha1\ndefault_crl_days=8000\n' \
    "$work" "$work" > "$work/ca.cnf"
openssl ca -config "$work/ca.cnf" -gencrl -keyfile "$work/ca.key" -cert "$work/ca.pem" -out "$work/crl.pem"
openssl crl -in "$work/crl.pem" -outform DER -out crl.der
openssl crl2pkcs7 -in "$work/crl.pem" -certfile "$work/ca.pem" -certfile "$work/ee.pem" -outform DER -out degen.p7
openssl crl2pkcs7 -nocrl -certfile "$work/ca.pem" -out ca.p7.pem
printf 'certificate test message\n' > "$work/m.txt"
openssl smime -sign -nodetach -binary -md sha1 -in "$work/m.txt" -signer "$work/ee.pem" -inkey "$work/ee.key" \
    -outform DER -out signed.p7
openssl smime -encrypt -des3 -binary -in degen.p7 -outform DER -out env.p7 "$work/ee.pem"
openssl pkcs8 -topk8 -nocrypt -in "$work/ee.key" -outform DER -out ee.p8
