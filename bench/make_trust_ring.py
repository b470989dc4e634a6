#!/usr/bin/env python3
"""Writes the trust benchmark's web with real signatures: KEYS version-4
RSA-1024 keys, each with a user ID, its self-certification and
certifications by CERTIFIERS other keys chosen at random (seeded, so the
same web every time), all SHA-256 PKCS #1 v1.5 signatures that GnuPG and
the SDK both find good. Beside the ring, OUTPUT.ownertrust holds the owner
trust in GnuPG's export form: key 0 ultimate, then complete, marginal and
undefined in turn (index modulo 3 = 0, 1, 2). The benchmark runs this
when the ring is missing.

Usage: make_trust_ring.py OUTPUT [KEYS] [CERTIFIERS]
"""
import hashlib
import random
import struct
import sys

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa


def mpi(value):
    bits = value.bit_length()
    return struct.pack(">H", bits) + value.to_bytes((bits + 7) // 8, "big")


def packet(tag, body):
    if len(body) < 256:
        return bytes([0x80 | (tag << 2), len(body)]) + body
    return bytes([0x81 | (tag << 2)]) + struct.pack(">H", len(body)) + body


def key_prefix(body):
    return b"\x99" + struct.pack(">H", len(body)) + body


def signature(signer, issuer, sig_type, created, signed):
    hashed = bytes([5, 2]) + struct.pack(">I", created)
    head = bytes([4, sig_type, 1, 8]) + struct.pack(">H", len(hashed)) + hashed
    data = signed + head + b"\x04\xff" + struct.pack(">I", len(head))
    prefix = hashlib.sha256(data).digest()[:2]
    value = int.from_bytes(signer.sign(data, padding.PKCS1v15(), hashes.SHA256()), "big")
    unhashed = bytes([9, 16]) + issuer
    return packet(2, head + struct.pack(">H", len(unhashed)) + unhashed + prefix + mpi(value))


def main():
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    certifiers = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    created = 1700000000
    rng = random.Random(12345)
    keys = []
    for i in range(count):
        private = rsa.generate_private_key(public_exponent=65537, key_size=1024)
        numbers = private.public_key().public_numbers()
        body = bytes([4]) + struct.pack(">I", created) + bytes([1]) + mpi(numbers.n) + mpi(numbers.e)
        fingerprint = hashlib.sha1(key_prefix(body)).digest()
        keys.append((private, body, fingerprint))
    with open(out, "wb") as f:
        for i, (private, body, fingerprint) in enumerate(keys):
            uid = ("Trust Key %04d <trust%04d@example.org>" % (i, i)).encode()
            signed = key_prefix(body) + b"\xb4" + struct.pack(">I", len(uid)) + uid
            f.write(packet(6, body))
            f.write(packet(13, uid))
            f.write(signature(private, fingerprint[-8:], 0x13, created + 1, signed))
            for j in rng.sample([k for k in range(count) if k != i], min(certifiers, count - 1)):
                signer, _, signer_fingerprint = keys[j]
                f.write(signature(signer, signer_fingerprint[-8:], 0x10, created + 2, signed))
    with open(out + ".ownertrust", "w") as f:
        for i, (_, _, fingerprint) in enumerate(keys):
            level = 6 if i == 0 else (5, 4, 2)[i % 3]
            f.write("%s:%d:\n" % (fingerprint.hex().upper(), level))


if __name__ == "__main__":
    main()
