#!/bin/sh
# Makes the seed corpus of x509keys_fuzz with OpenSSL: an RSA certificate
# with alternative names and a distribution point, a DSA certificate whose
# subject carries a key creation time, a CRL, two certificates one after the
# other, and two hand-made headers (indefinite length, a length near 2^64).
set -e
out=$(cd "$(dirname "$0")" && pwd)/corpus/x509keys
mkdir -p "$out"
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
cd "$w"
openssl req -x509 -newkey rsa:1024 -nodes -keyout k.pem -out c.pem -days 3 -sha1 -subj '/C=US/O=Org/CN=Seed' \
    -addext 'subjectAltName=DNS:a.example,IP:10.0.0.1,email:a@b.example' \
    -addext 'crlDistributionPoints=URI:http://c.example/x.crl' 2>/dev/null
openssl x509 -in c.pem -outform DER -out c.der
openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out p.pem 2>/dev/null
openssl genpkey -paramfile p.pem -out d.pem
openssl req -x509 -key d.pem -out dc.pem -days 3 -subj '/CN=DSA seed/OU=QELKeyCreation=0x5F000000' 2>/dev/null
openssl x509 -in dc.pem -outform DER -out dc.der
mkdir -p db && touch db/index && echo 01 > db/crlnumber
printf '[ca]\ndefault_ca=c\n[c]\ndatabase=db/index\ncrlnumber=db/crlnumber\ndefault_md=sha1\ndefault_crl_days=7\n' > ca.cnf
openssl ca -config ca.cnf -gencrl -keyfile k.pem -cert c.pem -out crl.pem 2>/dev/null
openssl crl -in crl.pem -outform DER -out crl.der
cp c.der "$out/rsa-cert"
cp dc.der "$out/dsa-cert"
cp crl.der "$out/crl"
cat c.der dc.der > "$out/two-certs"
printf '\060\200\002\001\005\000\000' > "$out/indefinite"
printf '\060\210\377\377\377\377\377\377\377\360\000' > "$out/huge-length"
# The two certificates as a SET OF (for the certificate-set import).
n=$(wc -c < "$out/two-certs")
printf "\\061\\202\\$(printf %03o $((n >> 8)))\\$(printf %03o $((n & 255)))" > "$out/cert-set"
cat "$out/two-certs" >> "$out/cert-set"
