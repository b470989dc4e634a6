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
import sys

from cryptography.hazmat.primitives.asymmetric import rsa

from ring_common import key_prefix, packet, rsa_key_body, rsa_signature, uid_prefix


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
        body = rsa_key_body(numbers.n, numbers.e, created)
        fingerprint = hashlib.sha1(key_prefix(body)).digest()
        keys.append((private, body, fingerprint))
    with open(out, "wb") as f:
        for i, (private, body, fingerprint) in enumerate(keys):
            uid = ("Trust Key %04d <trust%04d@example.org>" % (i, i)).encode()
            signed = key_prefix(body) + uid_prefix(uid)
            f.write(packet(6, body))
            f.write(packet(13, uid))
            f.write(rsa_signature(private, fingerprint[-8:], 0x13, created + 1, signed))
            for j in rng.sample([k for k in range(count) if k != i], min(certifiers, count - 1)):
                signer, _, signer_fingerprint = keys[j]
                f.write(rsa_signature(signer, signer_fingerprint[-8:], 0x10, created + 2, signed))
    with open(out + ".ownertrust", "w") as f:
        for i, (_, _, fingerprint) in enumerate(keys):
            level = 6 if i == 0 else (5, 4, 2)[i % 3]
            f.write("%s:%d:\n" % (fingerprint.hex().upper(), level))


if __name__ == "__main__":
    main()
