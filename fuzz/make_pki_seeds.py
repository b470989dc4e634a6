#!/usr/bin/env python3
"""Seeds of the pki fuzz target (fuzz/corpus/pki/): distinguished-name
texts (mode octet 0), DER names (mode 1), and the values of the extensions
OpenSSL writes into a certificate and a CRL (mode 2 + the extension's row in
the codec table). Run from the repository root: python3 fuzz/make_pki_seeds.py
"""
import os
import subprocess
import tempfile

from cryptography import x509
from cryptography.hazmat.primitives import serialization

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus', 'pki')
ROWS = ['2.5.29.15', '2.5.29.19', '2.5.29.17', '2.5.29.18', '2.5.29.20', '2.5.29.27', '2.5.29.35', '2.5.29.14',
        '2.5.29.16', '2.5.29.32', '2.5.29.33', '2.5.29.9', '2.5.29.30', '2.5.29.36', '2.5.29.37', '2.5.29.31',
        '1.3.6.1.5.5.7.1.1', '2.5.29.28', '2.5.29.21', '2.5.29.23', '2.5.29.24']
CONFIG = """[req]
distinguished_name = dn
[dn]
[pol]
policyIdentifier = 1.2.3.4
CPS.1 = "http://cps.example/"
userNotice.1 = @notice
[notice]
explicitText = "Notice text"
organization = "Org Name"
noticeNumbers = 1, 2
[cdp]
fullname = URI:http://crl.example/a.crl
reasons = keyCompromise, superseded
CRLissuer = dirName:issuer_dn
[issuer_dn]
CN = CRL Issuer
"""
EXTENSIONS = [
    'keyUsage=critical,digitalSignature,keyAgreement,decipherOnly',
    'basicConstraints=critical,CA:TRUE,pathlen:3',
    'subjectAltName=DNS:a.example,email:x@a.example,URI:http://a.example/,IP:192.0.2.1,RID:1.2.3.4,'
    'dirName:issuer_dn,otherName:1.2.3.4;UTF8:x',
    'issuerAltName=DNS:issuer.example',
    'authorityKeyIdentifier=keyid:always,issuer:always',
    'extendedKeyUsage=serverAuth,clientAuth,OCSPSigning',
    'certificatePolicies=@pol,1.5.6.7',
    'policyMappings=1.2.3.4:1.5.6.7',
    'policyConstraints=requireExplicitPolicy:1,inhibitPolicyMapping:2',
    'nameConstraints=critical,permitted;DNS:.example.com,excluded;IP:192.0.2.0/255.255.255.0',
    'crlDistributionPoints=cdp,URI:http://crl.example/b.crl',
    'authorityInfoAccess=OCSP;URI:http://ocsp.example/',
    'issuingDistributionPoint=critical,fullname:URI:http://crl.example/idp.crl,onlysomereasons:keyCompromise,'
    'onlyuser:TRUE',
]
TEXTS = ['CN=host1,O=org,C=XX', 'CN=a+OU=b', 'CN=a\\,b\\;c', 'CN=\\ x\\ ', 'CN=caf\\C3\\A9',
         '1.2.3.4=#0403616263', 'emailAddress=a@b.example,DC=example', 'x121Address=12 34',
         '1.2.18446744073709551615', '20500101000000Z', '491231235959Z']
# Values OpenSSL writes into CRLs and their entries.
CRL_VALUES = {'2.5.29.20': '02021234', '2.5.29.27': '020164', '2.5.29.21': '0a0101',
              '2.5.29.23': '06072a8648ce380203', '2.5.29.24': '180f32303234303232393132303030305a',
              '2.5.29.16': '3022800f32303530303130313030303030305a810f32303234303232393132303030305a',
              '2.5.29.9': '3011300f0603550403310804010004010101'}


def write(name, data):
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    for i, t in enumerate(TEXTS):
        write('text%02d' % i, b'\x00' + t.encode())
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, 'cfg'), 'w') as f:
            f.write(CONFIG)
        subprocess.run(['openssl', 'genpkey', '-algorithm', 'EC', '-pkeyopt', 'ec_paramgen_curve:P-256',
                        '-out', 'k.pem'], cwd=d, check=True, capture_output=True)
        cmd = ['openssl', 'req', '-x509', '-new', '-key', 'k.pem', '-subj', '/CN=seed/O=Org/C=XX', '-days', '2',
               '-config', 'cfg', '-outform', 'DER', '-out', 'c.der']
        for e in EXTENSIONS:
            cmd += ['-addext', e]
        subprocess.run(cmd, cwd=d, check=True, capture_output=True)
        cert = x509.load_der_x509_certificate(open(os.path.join(d, 'c.der'), 'rb').read())
    write('name-subject', b'\x01' + cert.subject.public_bytes())
    for ext in cert.extensions:
        row = ROWS.index(ext.oid.dotted_string)
        write('ext-%s' % ext.oid.dotted_string, bytes([2 + row]) + ext.value.public_bytes())
    for oid, value in CRL_VALUES.items():
        write('ext-%s' % oid, bytes([2 + ROWS.index(oid)]) + bytes.fromhex(value))


if __name__ == '__main__':
    main()
