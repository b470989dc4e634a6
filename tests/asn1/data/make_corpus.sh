#!/usr/bin/env bash
# Rebuilds the ASN.1 test corpus with OpenSSL (and pyasn1 from the Debian
# package python3-pyasn1-modules for the CER files). Run from this folder:
#   bash make_corpus.sh
# Every output is DER unless its name ends in .ber.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
O=openssl

# Keys.
$O genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/ca.key" 2>/dev/null
$O genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$work/leaf.key" 2>/dev/null
$O genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:2048 -out "$work/dsa.param" 2>/dev/null
$O genpkey -paramfile "$work/dsa.param" -out "$work/dsa.key" 2>/dev/null

cat > "$work/ext.cnf" <<'CNF'
[req]
distinguished_name = dn
[dn]
[ca_ext]
basicConstraints = critical, CA:true, pathlen:3
keyUsage = critical, keyCertSign, cRLSign, digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always, issuer:always
extendedKeyUsage = serverAuth, clientAuth, emailProtection, 1.3.6.1.4.1.99999.1
subjectAltName = @alt
issuerAltName = email:issuer@example.org, URI:http://issuer.example.org/
certificatePolicies = 1.2.3.4, @pol
policyConstraints = requireExplicitPolicy:2, inhibitPolicyMapping:1
policyMappings = 1.2.3.4:1.2.3.5
inhibitAnyPolicy = 2
nameConstraints = permitted;DNS:.example.org, permitted;IP:10.0.0.0/255.0.0.0, excluded;email:bad@example.org
crlDistributionPoints = crldp
authorityInfoAccess = OCSP;URI:http://ocsp.example.org/, caIssuers;URI:http://ca.example.org/ca.cer
nsComment = "Corpus certificate with many extensions"
[alt]
email.1 = ca@example.org
DNS.1 = ca.example.org
DNS.2 = *.example.org
URI.1 = https://www.example.org/path?q=1
IP.1 = 192.0.2.7
IP.2 = 2001:db8::7
RID.1 = 1.2.3.4.5
dirName.1 = dir_sect
otherName.1 = 1.3.6.1.4.1.311.20.2.3;UTF8:upn@example.org
[dir_sect]
C = DE
O = Directory Name Org
CN = Directory Name
[pol]
policyIdentifier = 1.3.6.1.4.1.99999.2.1
CPS.1 = "http://cps.example.org/cps"
userNotice.1 = @notice
[notice]
explicitText = "Explicit notice text"
organization = "Example Org"
noticeNumbers = 1, 2, 3
[crldp]
fullname = URI:http://crl.example.org/ca.crl
reasons = keyCompromise, CACompromise
CRLissuer = dirName:dir_sect
[leaf_ext]
basicConstraints = CA:false
keyUsage = digitalSignature, keyEncipherment
subjectAltName = email:leaf@example.org, DNS:leaf.example.org
crlDistributionPoints = URI:http://crl.example.org/ca.crl
[big_ext]
basicConstraints = CA:false
nsComment = "BIGCOMMENT"
[crl_ext]
authorityKeyIdentifier = keyid:always
issuingDistributionPoint = @idp
[idp]
fullname = URI:http://crl.example.org/ca.crl
onlysomereasons = keyCompromise, superseded
indirectCRL = TRUE
CNF
big=$(head -c 1500 /dev/zero | tr '\0' 'x')
sed -i "s/BIGCOMMENT/$big/" "$work/ext.cnf"

# Certificates: RSA v3 CA with many extensions, an RSA v1 one, a DSA one,
# UTF8 and BMP names, UTCTime and GeneralizedTime, multi-valued RDNs.
$O req -new -x509 -key "$work/ca.key" -sha256 -days 3650 -set_serial 0x0100F1 \
  -subj "/C=US/ST=Test State/O=Corpus CA/OU=Unit+OU=Second Unit/CN=Corpus Root CA/emailAddress=ca@example.org" \
  -multivalue-rdn -config "$work/ext.cnf" -extensions ca_ext -out "$work/ca.pem"
$O x509 -in "$work/ca.pem" -outform DER -out cert_rsa_v3_ca.der

$O req -new -key "$work/leaf.key" -subj "/CN=Version One Leaf" -out "$work/v1.csr"
$O x509 -req -in "$work/v1.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial 2 -days 30 \
  -outform DER -out cert_rsa_v1.der 2>/dev/null

$O req -new -key "$work/dsa.key" -subj "/C=DE/O=DSA Org/CN=DSA Self Signed" -x509 -days 20000 -sha256 \
  -addext "basicConstraints=critical,CA:true" -addext "subjectKeyIdentifier=hash" -outform DER -out cert_dsa_v3_gentime.der

$O req -new -utf8 -key "$work/leaf.key" -subj "/C=FR/O=Société Générale/CN=Zoë Müller ✓" -out "$work/utf8.csr"
$O x509 -req -in "$work/utf8.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial 0x7FFFFFFFFFFFFFFFFF -days 365 \
  -extfile "$work/ext.cnf" -extensions leaf_ext -outform DER -out cert_rsa_utf8.der 2>/dev/null

printf '[req]\ndistinguished_name=dn\nstring_mask=MASK:0x800\nutf8=yes\n[dn]\n' > "$work/bmp.cnf"
$O req -new -config "$work/bmp.cnf" -key "$work/leaf.key" -subj "/O=BMP Organisation/CN=Bmp Ünïcode Name" -out "$work/bmp.csr"
$O x509 -req -in "$work/bmp.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial 77 -days 365 \
  -extfile "$work/ext.cnf" -extensions leaf_ext -outform DER -out cert_rsa_bmp.der 2>/dev/null

$O req -new -key "$work/leaf.key" -subj "/CN=Large Extension" -out "$work/big.csr"
$O x509 -req -in "$work/big.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial 78 -days 365 \
  -extfile "$work/ext.cnf" -extensions big_ext -outform DER -out cert_rsa_bigext.der 2>/dev/null
$O x509 -in cert_rsa_utf8.der -inform DER -out "$work/leaf.pem"

# Certificate request with attributes.
$O req -new -key "$work/leaf.key" \
  -addext "subjectAltName=DNS:req.example.org" -addext "keyUsage=digitalSignature" \
  -config <(printf '[req]\nprompt=no\ndistinguished_name=dn\nattributes=attrs\n[dn]\nC=GB\nO=Request Org\nCN=Request Subject\n[attrs]\nchallengePassword=secret123\nunstructuredName=Unstructured Name\n') \
  -outform DER -out csr_attributes.der

# Revocation lists: reason codes, invalidity dates, many entries.
mkdir -p "$work/ca"
: > "$work/ca/index.txt"
reasons=(unspecified keyCompromise CACompromise affiliationChanged superseded cessationOfOperation certificateHold removeFromCRL)
for i in $(seq 1 300); do
  r=${reasons[$((i % 8))]}
  rev="250101000000Z,$r"
  [ "$r" = keyCompromise ] && rev="250101000000Z,keyTime,20240601000000Z"
  [ "$r" = certificateHold ] && rev="250101000000Z,certificateHold,holdInstructionReject"
  [ "$r" = removeFromCRL ] && rev="250101000000Z"
  printf 'R\t300101000000Z\t%s\t%04X\tunknown\t/CN=Revoked %d\n' "$rev" "$((i + 4096))" "$i" >> "$work/ca/index.txt"
done
echo 1000 > "$work/ca/crlnumber"
cat > "$work/ca.cnf" <<CNF
[ca]
default_ca = c
[c]
database = $work/ca/index.txt
crlnumber = $work/ca/crlnumber
certificate = $work/ca.pem
private_key = $work/ca.key
default_md = sha256
default_crl_days = 30
crl_extensions = crl_ext
[crl_ext]
authorityKeyIdentifier = keyid:always
issuingDistributionPoint = @idp
[idp]
fullname = URI:http://crl.example.org/ca.crl
onlysomereasons = keyCompromise, superseded
indirectCRL = TRUE
CNF
$O ca -gencrl -config "$work/ca.cnf" -out "$work/crl.pem"
$O crl -in "$work/crl.pem" -outform DER -out crl_many_reasons.der
: > "$work/ca/index.txt"
$O ca -gencrl -config "$work/ca.cnf" -out "$work/crl_empty.pem" 2>/dev/null || true
[ -s "$work/crl_empty.pem" ] && $O crl -in "$work/crl_empty.pem" -outform DER -out crl_empty.der

# PKCS#7: certificate bundles and signed data.
$O crl2pkcs7 -nocrl -certfile "$work/ca.pem" -certfile "$work/leaf.pem" -outform DER -out p7_certs.der
$O crl2pkcs7 -in "$work/crl.pem" -certfile "$work/ca.pem" -outform DER -out p7_certs_crl.der
printf 'Signed message for the corpus.\n' > "$work/msg.txt"
$O smime -sign -in "$work/msg.txt" -signer "$work/leaf.pem" -inkey "$work/leaf.key" -certfile "$work/ca.pem" \
  -nodetach -outform DER -out p7_signed.der
$O cms -sign -stream -in "$work/msg.txt" -signer "$work/leaf.pem" -inkey "$work/leaf.key" -nodetach \
  -outform DER -out cms_signed_stream.ber
$O cms -cmsout -in cms_signed_stream.ber -inform DER -outform DER -out cms_signed_stream_der.der

# PKCS#8 plain and encrypted; the RSA private key inside.
$O pkcs8 -topk8 -nocrypt -in "$work/leaf.key" -outform DER -out p8_plain.der
$O pkcs8 -topk8 -v2 aes-256-cbc -passout pass:corpus -in "$work/leaf.key" -outform DER -out p8_encrypted_v2.der
$O pkcs8 -topk8 -v1 PBE-SHA1-3DES -passout pass:corpus -in "$work/leaf.key" -outform DER -out p8_encrypted_v1.der
$O rsa -in "$work/leaf.key" -traditional -outform DER -out rsa_private.der 2>/dev/null

# PKCS#12 legacy and default.
$O pkcs12 -export -legacy -in "$work/leaf.pem" -inkey "$work/leaf.key" -certfile "$work/ca.pem" \
  -name "Corpus Leaf" -passout pass:corpus -out p12_legacy.der
$O pkcs12 -export -in "$work/leaf.pem" -inkey "$work/leaf.key" -certfile "$work/ca.pem" \
  -name "Corpus Leaf" -passout pass:corpus -out p12_default.der

# BER forms: every constructed element with an indefinite length and long
# universal strings cut into constructed segments, tagged alternately with
# the OCTET STRING identifier and the string's own (a small schema-free
# re-encoder below).
python3 - <<'PY'
def parse(b, pos):
    ident = b[pos]; first = b[pos + 1]; pos += 2
    if first < 0x80:
        n = first
    else:
        k = first & 0x7F
        n = int.from_bytes(b[pos:pos + k], 'big'); pos += k
    return ident, pos, pos + n

def length(n):
    if n < 0x80:
        return bytes([n])
    raw = n.to_bytes((n.bit_length() + 7) // 8, 'big')
    return bytes([0x80 | len(raw)]) + raw

STRINGS = {0x04, 0x0C, 0x13, 0x16, 0x1E, 0x17}
def ber(b, pos, end):
    out = b''
    while pos < end:
        ident, start, stop = parse(b, pos)
        body = b[start:stop]
        if ident & 0x20:
            out += bytes([ident, 0x80]) + ber(b, start, stop) + b'\0\0'
        elif ident in STRINGS and len(body) > 8:
            segs = b''
            for i in range(0, len(body), 7):
                tag = 0x04 if (i // 7) % 2 == 0 else ident
                chunk = body[i:i + 7]
                segs += bytes([tag]) + length(len(chunk)) + chunk
            out += bytes([ident | 0x20, 0x80]) + segs + b'\0\0'
        else:
            out += b[pos:stop]
        pos = stop
    return out

for src in ('cert_rsa_v3_ca.der', 'cert_rsa_bigext.der', 'crl_many_reasons.der', 'csr_attributes.der'):
    der = open(src, 'rb').read()
    open(src.replace('.der', '_indef.ber'), 'wb').write(ber(der, 0, len(der)))
PY

# pyasn1's CER encoder (Debian python3-pyasn1 0.4.8) writes a definite length
# followed by end-of-contents octets around EXPLICIT tags: invalid BER, kept
# as a case that must be refused.
/usr/bin/python3 - <<'PY'
from pyasn1.codec.der import decoder
from pyasn1.codec.cer import encoder
from pyasn1_modules import rfc5280
value, rest = decoder.decode(open('cert_rsa_v3_ca.der', 'rb').read(), asn1Spec=rfc5280.Certificate())
assert not rest
open('cert_rsa_v3_ca_pyasn1_cer.ber', 'wb').write(encoder.encode(value))
PY
ls -l
