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
