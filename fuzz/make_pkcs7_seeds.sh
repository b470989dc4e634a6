#!/bin/sh
# Makes the seed corpus of pkcs7_fuzz with OpenSSL: a bare certificate and
# CRL, a degenerate SignedData of both, a signed message, an enveloped
# message and a signed envelope (the shape of an enrolment reply).
set -e
out=$(cd "$(dirname "$0")" && pwd)/corpus/pkcs7
mkdir -p "$out"
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
cd "$w"
openssl req -x509 -newkey rsa:512 -nodes -keyout k.pem -out c.pem -days 3 -subj /CN=Seed 2>/dev/null
mkdir -p db && touch db/index && echo 01 > db/crlnumber
printf '[ca]\ndefault_ca=c\n[c]\ndatabase=db/index\ncrlnumber=db/crlnumber\ndefault_md=sha1\ndefault_crl_days=7\n' > ca.cnf
openssl ca -config ca.cnf -gencrl -keyfile k.pem -cert c.pem -out crl.pem 2>/dev/null
openssl x509 -in c.pem -outform DER -out "$out/certificate"
openssl crl -in crl.pem -outform DER -out "$out/crl"
openssl crl2pkcs7 -in crl.pem -certfile c.pem -outform DER -out "$out/degenerate"
echo seed > m.txt
openssl smime -sign -nodetach -binary -in m.txt -signer c.pem -inkey k.pem -outform DER -out "$out/signed"
openssl smime -encrypt -des3 -binary -in "$out/degenerate" -outform DER -out "$out/enveloped" c.pem
openssl smime -sign -nodetach -binary -in "$out/enveloped" -signer c.pem -inkey k.pem -outform DER \
    -out "$out/signed-envelope"
