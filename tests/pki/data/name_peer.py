#!/usr/bin/env python3
"""Python cryptography as the peer of the distinguished-name tests.

build: reads lines "oid:tag:hexvalue[;oid:tag:hexvalue...]|..." (RDNs from
the most significant, attributes of one RDN joined by ';'), prints for each
the DER of the Name cryptography builds and its RFC 4514 text with this
toolkit's keywords.
parse: reads RFC 4514 texts (one per line, hex-encoded), prints for each the
attributes cryptography parses, "oid=hexvalue" joined by '+' inside an RDN
and '|' between RDNs, most significant first.
"""
import sys

from cryptography import x509
from cryptography.x509.name import _ASN1Type
from cryptography.x509.oid import ObjectIdentifier

KEYWORDS = {
    '2.5.4.3': 'CN', '2.5.4.4': 'SN', '2.5.4.5': 'SerialNumber', '2.5.4.6': 'C', '2.5.4.7': 'L',
    '2.5.4.8': 'ST', '2.5.4.9': 'STREET', '2.5.4.10': 'O', '2.5.4.11': 'OU', '2.5.4.12': 'title',
    '2.5.4.13': 'description', '2.5.4.15': 'businessCategory', '2.5.4.17': 'postalCode',
    '2.5.4.18': 'POBOX', '2.5.4.19': 'physicalDeliveryOfficeName', '2.5.4.20': 'TN',
    '2.5.4.24': 'x121Address', '2.5.4.25': 'ISDN', '2.5.4.27': 'destinationIndicator',
    '2.5.4.41': 'name', '2.5.4.42': 'givenName', '2.5.4.43': 'initials',
    '2.5.4.44': 'generationQualifier', '2.5.4.46': 'dnQualifier', '2.5.4.51': 'houseIdentifier',
    '2.5.4.54': 'dmdName', '0.9.2342.19200300.100.1.25': 'DC', '1.2.840.113549.1.9.1': 'emailAddress',
    '1.2.840.113549.1.9.2': 'unstructuredName', '1.2.840.113549.1.9.8': 'unstructuredAddress',
}
TEXT_TAGS = (18, 19, 22)


def der_length(n):
    if n < 0x80:
        return bytes([n])
    b = n.to_bytes((n.bit_length() + 7) // 8, 'big')
    return bytes([0x80 | len(b)]) + b


def der_oid(dotted):
    arcs = [int(a) for a in dotted.split('.')]
    out = b''
    for v in [arcs[0] * 40 + arcs[1]] + arcs[2:]:
        chunk = [v & 0x7F]
        v >>= 7
        while v:
            chunk.insert(0, 0x80 | (v & 0x7F))
            v >>= 7
        out += bytes(chunk)
    return b'\x06' + der_length(len(out)) + out


def build(line):
    rdns, text_rdns = [], []
    for rdn_text in line.split('|'):
        attrs, texts = [], []
        for item in rdn_text.split(';'):
            oid, tag, value = item.split(':')
            tag, raw = int(tag), bytes.fromhex(value)
            # The pairs of a relative name render in DER's SET OF order.
            inner = der_oid(oid) + bytes([tag]) + der_length(len(raw)) + raw
            order = b'\x30' + der_length(len(inner)) + inner
            value = raw.decode('utf-16-be') if tag == 30 else raw.decode('utf-8')
            attrs.append(x509.NameAttribute(ObjectIdentifier(oid), value, _type=_ASN1Type(tag)))
            if oid in KEYWORDS and tag in TEXT_TAGS:
                # cryptography's own RFC 4514 escaping of one value.
                one = x509.Name([x509.RelativeDistinguishedName([attrs[-1]])])
                texts.append((order, one.rfc4514_string({ObjectIdentifier(oid): KEYWORDS[oid]})))
            else:
                encoded = bytes([tag]) + der_length(len(raw)) + raw
                texts.append((order, '%s=#%s' % (KEYWORDS.get(oid, oid), encoded.hex())))
        rdns.append(x509.RelativeDistinguishedName(attrs))
        text_rdns.append('+'.join(t for _, t in sorted(texts)))
    name = x509.Name(rdns)
    print(name.public_bytes().hex(), ','.join(reversed(text_rdns)))


def parse(line):
    overrides = {k: ObjectIdentifier(v) for v, k in KEYWORDS.items()}
    name = x509.Name.from_rfc4514_string(bytes.fromhex(line).decode('utf-8'), overrides)
    out = []
    for rdn in name.rdns:
        out.append('+'.join(sorted('%s=%s' % (a.oid.dotted_string, a.value.encode('utf-8').hex()) for a in rdn)))
    print('|'.join(out))


def main():
    mode = sys.argv[1]
    for line in sys.stdin.read().split('\n'):
        if line:
            try:
                (build if mode == 'build' else parse)(line)
            except ValueError as e:
                print('refused', str(e).replace('\n', ' '))


if __name__ == '__main__':
    main()
