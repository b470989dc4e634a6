#!/usr/bin/env python3
"""Writes the signature-check benchmark's key ring: 250 version-4 RSA-2048
keys, each with a user ID, its self-certification (SHA-256), an RSA-2048
encryption subkey with its binding (SHA-256), and certifications of the user
ID by the next 18 keys (SHA-256): 250 x 20 = 5,000 signatures, all good.

Keys are made with Python's `cryptography` and every signature is a real
PKCS #1 v1.5 signature over the RFC 4880 hash of the key material, so GnuPG
and the SDK both find every one valid. Run once (about a minute); the
benchmark runs it when the ring is missing.

Usage: make_keysig_ring.py OUTPUT [KEYS] [CERTIFIERS]
"""
import sys

from cryptography.hazmat.primitives.asymmetric import rsa

from ring_common import key_id, key_prefix, packet, rsa_key_body, rsa_signature, uid_prefix


def key_body(private, created):
    numbers = private.public_key().public_numbers()
    return rsa_key_body(numbers.n, numbers.e, created)


def main():
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 250
    certifiers = int(sys.argv[3]) if len(sys.argv) > 3 else 18
    created = 1600000000
    keys = []
    for i in range(count):
        primary = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        sub = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        body = key_body(primary, created + i)
        keys.append((primary, body, key_id(body), key_body(sub, created + i)))
    with open(out, "wb") as f:
        for i, (primary, body, kid, sub) in enumerate(keys):
            uid = ("Check Key %04d <check%04d@example.org>" % (i, i)).encode()
            signed_uid = key_prefix(body) + uid_prefix(uid)
            f.write(packet(6, body))
            f.write(packet(13, uid))
            f.write(rsa_signature(primary, kid, 0x13, created + i, signed_uid, bytes([2, 27, 3])))
            for k in range(1, certifiers + 1):
                signer, _, signer_id, _ = keys[(i + k) % count]
                f.write(rsa_signature(signer, signer_id, 0x10, created + count + i, signed_uid))
            f.write(packet(14, sub))
            f.write(rsa_signature(primary, kid, 0x18, created + i, key_prefix(body) + key_prefix(sub),
                              bytes([2, 27, 0x0C])))


if __name__ == "__main__":
    main()
