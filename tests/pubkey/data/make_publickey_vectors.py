#!/usr/bin/env python3
"""Vectors made by OpenSSL (through Python's cryptography) for the public-key
and private-key context tests, over two RSA keys of the GnuPG-made ring
tests/keys/data/keyuse_secret.gpg (unprotected): the primary key
A339E8FA7AA93E51 (signing) and its subkey 985BD734B9C12A29 (encryption).

Writes publickey_vectors.txt, one record per line (hex fields):
  sig KEYID MESSAGE SIGNATURE     PKCS #1 v1.5 over SHA-256 of MESSAGE
  enc KEYID MESSAGE CIPHERTEXT    PKCS #1 v1.5 encryption of MESSAGE
and publickey_KEYID.pem, the public keys, for verifying our signatures
with the openssl command.
"""
import os
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

here = os.path.dirname(os.path.abspath(__file__))
ring = open(os.path.join(here, "..", "..", "keys", "data", "keyuse_secret.gpg"), "rb").read()


def packets(b):
    i = 0
    while i < len(b):
        h = b[i]
        if h & 0x40:
            tag, l = h & 0x3F, b[i + 1]
            if l < 192:
                n, hl = l, 2
            elif l < 224:
                n, hl = ((l - 192) << 8) + b[i + 2] + 192, 3
            else:
                n, hl = int.from_bytes(b[i + 2:i + 6], "big"), 6
        else:
            tag, hl = (h >> 2) & 15, 1 + (1, 2, 4)[h & 3]
            n = int.from_bytes(b[i + 1:i + hl], "big")
        yield tag, b[i + hl:i + hl + n]
        i += hl + n


def mpis(b, count):
    out = []
    for _ in range(count):
        bits = int.from_bytes(b[:2], "big")
        size = (bits + 7) // 8
        out.append(int.from_bytes(b[2:2 + size], "big"))
        b = b[2 + size:]
    return out, b


import hashlib
import struct

keys = {}
for tag, body in packets(ring):
    if tag not in (5, 7) or body[0] != 4 or body[5] != 1:
        continue
    (n, e), rest = mpis(body[6:], 2)
    public = body[:len(body) - len(rest)]
    keyid = hashlib.sha1(b"\x99" + struct.pack(">H", len(public)) + public).hexdigest().upper()[-16:]
    assert rest[0] == 0, "unprotected keys only"
    (d, p, q, u), _ = mpis(rest[1:], 4)
    keys[keyid] = rsa.RSAPrivateNumbers(p, q, d, d % (p - 1), d % (q - 1), rsa.rsa_crt_iqmp(p, q),
                                        rsa.RSAPublicNumbers(e, n)).private_key()

lines = []
signer, recipient = keys["A339E8FA7AA93E51"], keys["985BD734B9C12A29"]
for i, message in enumerate([b"abc", b"The quick brown fox jumps over the lazy dog", os.urandom(40)]):
    sig = signer.sign(message, padding.PKCS1v15(), hashes.SHA256())
    lines.append("sig A339E8FA7AA93E51 %s %s" % (message.hex(), sig.hex()))
    enc = recipient.public_key().encrypt(message, padding.PKCS1v15())
    lines.append("enc 985BD734B9C12A29 %s %s" % (message.hex(), enc.hex()))
open(os.path.join(here, "publickey_vectors.txt"), "w").write("\n".join(lines) + "\n")
for keyid, key in keys.items():
    if keyid in ("A339E8FA7AA93E51", "985BD734B9C12A29"):
        pem = key.public_key().public_bytes(serialization.Encoding.PEM,
                                            serialization.PublicFormat.SubjectPublicKeyInfo)
        open(os.path.join(here, "publickey_%s.pem" % keyid), "wb").write(pem)
