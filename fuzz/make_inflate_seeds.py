#!/usr/bin/env python3
"""Writes the seed corpus of inflate_fuzz: small raw-deflate streams made by
Python's zlib (stored, fixed and dynamic blocks, both window sizes the SDK
uses), each behind the option byte the target reads first."""
import os
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "inflate")
TEXT = b"the decoder reads the window and the window holds the stream; " * 12
BINARY = bytes((i * 7 + (i >> 3)) & 0xFF for i in range(900))
SEEDS = [
    ("stored", b"\x00", TEXT[:200], 0, -15, zlib.Z_DEFAULT_STRATEGY),
    ("fixed", b"\x01", TEXT, 6, -15, zlib.Z_FIXED),
    ("dynamic", b"\x0a", TEXT + BINARY, 9, -15, zlib.Z_DEFAULT_STRATEGY),
    ("module", b"\x13", BINARY + TEXT, 5, -13, zlib.Z_DEFAULT_STRATEGY),
    ("huffman", b"\x1c", BINARY, 6, -15, zlib.Z_HUFFMAN_ONLY),
    ("rle", b"\x07", b"a" * 700 + BINARY[:100], 6, -15, zlib.Z_RLE),
    ("empty", b"\x02", b"", 6, -15, zlib.Z_DEFAULT_STRATEGY),
]

for name, option, data, level, wbits, strategy in SEEDS:
    c = zlib.compressobj(level, zlib.DEFLATED, wbits, 8, strategy)
    stream = c.compress(data) + c.flush()
    with open(os.path.join(HERE, name + ".bin"), "wb") as f:
        f.write(option + stream)
