#!/usr/bin/env python3
"""Writes the seed corpora of inflate_fuzz and decompress_fuzz: small
raw-deflate streams made by Python's zlib (stored, fixed and dynamic blocks,
both window sizes the SDK uses) and, for decompress_fuzz, zlib streams too,
each behind the option byte the target reads first."""
import os
import random
import zlib

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
HERE = os.path.join(CORPUS, "inflate")
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

# Data that does not compress, through an 8 KiB window: blocks of literals
# coded in 8 bits, which the decoder's fast loop handles its own way.
NOISE = random.Random(5)
SEEDS.append(("uncompressible", b"\x00", bytes(NOISE.getrandbits(8) for _ in range(20000)), 5, -13,
              zlib.Z_DEFAULT_STRATEGY))

for name, option, data, level, wbits, strategy in SEEDS:
    c = zlib.compressobj(level, zlib.DEFLATED, wbits, 8, strategy)
    stream = c.compress(data) + c.flush()
    with open(os.path.join(HERE, name + ".bin"), "wb") as f:
        f.write(option + stream)

# decompress_fuzz: option bit 0 picks the zlib stream, bits 1-2 the piece size.
for name, option, data, level, wbits in [
    ("raw", b"\x06", TEXT + BINARY, 5, -13),
    ("raw-pieces", b"\x00", TEXT, 9, -15),
    ("zlib", b"\x07", BINARY + TEXT, 6, 15),
    ("zlib-pieces", b"\x03", TEXT[:300], 1, 9),
]:
    c = zlib.compressobj(level, zlib.DEFLATED, wbits)
    with open(os.path.join(CORPUS, "decompress", name + ".bin"), "wb") as f:
        f.write(option + c.compress(data) + c.flush())
