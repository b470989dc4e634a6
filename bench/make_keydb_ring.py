#!/usr/bin/env python3
"""Writes the benchmark's key ring: 10,000 version-4 RSA keys, each with a
user ID, a self-certification, an encryption subkey and its binding
signature, as RFC 4880 packets (old-format headers, as GnuPG exports them).

The key material is random, well-formed numbers (odd 1024-bit moduli,
exponent 65537) and the signatures are random 1024-bit numbers: the ring is
for reading, listing and finding keys, not for checking signatures. A fixed
seed makes the same ring on every run.

Usage: make_keydb_ring.py OUTPUT [COUNT]
"""
import random
import struct
import sys

from ring_common import key_id, mpi, packet, rsa_key_body


def key_body(rng, created):
    return rsa_key_body(rng.getrandbits(1024) | (1 << 1023) | 1, 65537, created)


def signature(rng, sig_type, created, issuer):
    hashed = bytes([5, 2]) + struct.pack(">I", created)
    unhashed = bytes([9, 16]) + issuer
    body = bytes([4, sig_type, 1, 8]) + struct.pack(">H", len(hashed)) + hashed
    body += struct.pack(">H", len(unhashed)) + unhashed + bytes([0x12, 0x34])
    body += mpi(rng.getrandbits(1024) | (1 << 1023))
    return packet(2, body)


def main():
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    rng = random.Random(20261210)
    with open(out, "wb") as f:
        for i in range(count):
            created = 1500000000 + i
            primary = key_body(rng, created)
            kid = key_id(primary)
            sub = key_body(rng, created)
            f.write(packet(6, primary))
            f.write(packet(13, ("Bench Key %05d <bench%05d@example.org>" % (i, i)).encode()))
            f.write(signature(rng, 0x13, created, kid))
            f.write(packet(14, sub))
            f.write(signature(rng, 0x18, created, kid))


if __name__ == "__main__":
    main()
