"""RFC 4880 pieces the benchmark ring generators share: MPIs, old-format
packets (as GnuPG exports them), version 4 RSA key bodies, key IDs and the
prefixes under which keys and user IDs are hashed for signatures."""
import hashlib
import struct


def mpi(value):
    bits = value.bit_length()
    return struct.pack(">H", bits) + value.to_bytes((bits + 7) // 8, "big")


def packet(tag, body):
    if len(body) < 256:
        return bytes([0x80 | (tag << 2), len(body)]) + body
    return bytes([0x81 | (tag << 2)]) + struct.pack(">H", len(body)) + body


def rsa_key_body(n, e, created):
    return bytes([4]) + struct.pack(">I", created) + bytes([1]) + mpi(n) + mpi(e)


def key_prefix(body):
    return b"\x99" + struct.pack(">H", len(body)) + body


def key_id(body):
    return hashlib.sha1(key_prefix(body)).digest()[-8:]


def uid_prefix(uid):
    return b"\xb4" + struct.pack(">I", len(uid)) + uid


def rsa_signature(signer, issuer, sig_type, created, signed, extra_hashed=b""):
    """A version 4 RSA/SHA-256 signature packet over `signed` (the hashed
    prefixes of what it signs) with a creation time, any extra hashed
    subpackets, and the issuer key ID unhashed."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import padding

    hashed = bytes([5, 2]) + struct.pack(">I", created) + extra_hashed
    head = bytes([4, sig_type, 1, 8]) + struct.pack(">H", len(hashed)) + hashed
    trailer = b"\x04\xff" + struct.pack(">I", len(head))
    data = signed + head + trailer
    prefix = hashlib.sha256(data).digest()[:2]
    value = int.from_bytes(signer.sign(data, padding.PKCS1v15(), hashes.SHA256()), "big")
    unhashed = bytes([9, 16]) + issuer
    body = head + struct.pack(">H", len(unhashed)) + unhashed + prefix + mpi(value)
    return packet(2, body)
