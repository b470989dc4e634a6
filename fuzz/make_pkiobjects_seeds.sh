#!/bin/sh
# Seeds of pkiobjects_fuzz, made with OpenSSL: the first octet picks the
# reader (0 certificate set, 1 CRL, 2 request, 3 signed data, 4 enveloped
# data). Certificate sets hold each DER after a two-octet length.
set -e
out=$(cd "$(dirname "$0")" && pwd)/corpus/pkiobjects
mkdir -p "$out"
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
cd "$t"
prefix() { printf "\\$(printf %03o "$1")"; }
len() { n=$(wc -c < "$1"); printf "\\$(printf %03o $((n / 256)))\\$(printf %03o $((n % 256)))"; }
openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=Seed\ Root -days 3650 -keyout root.key -out root.pem 2>/dev/null
openssl req -newkey rsa:1024 -nodes -subj /CN=Seed\ Leaf -keyout leaf.key -out leaf.csr 2>/dev/null
openssl x509 -req -in leaf.csr -CA root.pem -CAkey root.key -set_serial 7 -days 365 -out leaf.pem 2>/dev/null
openssl x509 -in root.pem -outform DER -out root.der
openssl x509 -in leaf.pem -outform DER -out leaf.der
# Two certificates that issue each other.
openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=Cycle\ A -keyout a.key -out a0.pem 2>/dev/null
openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=Cycle\ B -keyout b.key -out b0.pem 2>/dev/null
openssl req -new -key a.key -subj /CN=Cycle\ A -out a.csr
openssl req -new -key b.key -subj /CN=Cycle\ B -out b.csr
openssl x509 -req -in a.csr -CA b0.pem -CAkey b.key -set_serial 2 -outform DER -out a.der 2>/dev/null
openssl x509 -req -in b.csr -CA a0.pem -CAkey a.key -set_serial 3 -outform DER -out b.der 2>/dev/null
{ prefix 0; len root.der; cat root.der; len leaf.der; cat leaf.der; } > "$out/chain"
{ prefix 0; len a.der; cat a.der; len b.der; cat b.der; } > "$out/cycle"
# A CRL of the root listing the leaf.
printf 'V\t301231235959Z\t\t07\tunknown\t/CN=Seed Leaf\n' > index.txt
sed -i 's/^V/R/; s/Z\t\t07/Z\t240101000000Z\t07/' index.txt
cat > ca.cnf <<CNF
[ca]
default_ca = c
[c]
database = index.txt
crlnumber = crlnumber
default_md = sha256
default_crl_days = 30
CNF
echo 01 > crlnumber
openssl ca -config ca.cnf -gencrl -keyfile root.key -cert root.pem -out crl.pem 2>/dev/null
openssl crl -in crl.pem -outform DER -out crl.der
{ prefix 1; cat crl.der; } > "$out/crl"
openssl req -in leaf.csr -outform DER -out leaf.csr.der
{ prefix 2; cat leaf.csr.der; } > "$out/request"
echo "seed content" > msg.txt
openssl smime -sign -binary -nodetach -in msg.txt -signer leaf.pem -inkey leaf.key -outform DER -out s1.der
openssl cms -sign -binary -nodetach -stream -in msg.txt -signer leaf.pem -inkey leaf.key -outform DER -out s2.der
openssl smime -encrypt -des3 -binary -in msg.txt -outform DER -out e.der leaf.pem
{ prefix 3; cat s1.der; } > "$out/signed"
{ prefix 3; cat s2.der; } > "$out/signed-stream"
{ prefix 4; cat e.der; } > "$out/enveloped"
