#!/usr/bin/env python3
"""Writes the seed corpus of the armor parser fuzz target: armored blocks in
the forms the parser reads (plain, CRLF, quoted, multi-part, clear-signed,
binary, PEM), each prefixed with the piece-size byte the target reads first."""
import base64, os, sys

def crc24(data):
    crc = 0xB704CE
    for b in data:
        crc ^= b << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
    return crc & 0xFFFFFF

def block(data, label="MESSAGE", suffix="", headers="Version: x\n", eol="\n", prefix=""):
    lines = [prefix + "-----BEGIN QEL %s%s-----" % (label, suffix)]
    lines += [prefix + h for h in headers.splitlines()] + [prefix]
    enc = base64.b64encode(data).decode()
    lines += [prefix + enc[i:i + 64] for i in range(0, len(enc), 64)]
    c = crc24(data)
    lines.append(prefix + "=" + base64.b64encode(bytes([c >> 16, (c >> 8) & 255, c & 255])).decode())
    lines.append(prefix + "-----END QEL %s%s-----" % (label, suffix))
    return eol.join(lines) + eol

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "armor")
os.makedirs(out, exist_ok=True)
data = bytes(range(256)) * 2
seeds = {
    "plain": block(data),
    "crlf": block(data, eol="\r\n"),
    "quoted": "text\n" + block(data, prefix="> "),
    "multipart": block(data[:200], suffix=", PART 02/02", headers="MessageID: m\n")
                 + "between\n" + block(data[:100], suffix=", PART 01/02", headers="MessageID: m\n"),
    "clearsigned": "-----BEGIN QEL SIGNED MESSAGE-----\nHash: SHA1\n\n- -dash\nline\n" + block(b"sig", "SIGNATURE"),
    "pem": "-----BEGIN CERTIFICATE-----\n" + base64.b64encode(data).decode() + "\n-----END CERTIFICATE-----\n",
    "partzero": block(b"x", suffix=", PART 00/02"),
}
for name, text in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(b"\x01" + text.encode())
with open(os.path.join(out, "binary"), "wb") as f:
    f.write(b"\x05" + b"\xa8\x03PGP" + data)

# GnuPG's armored messages (tests/pipeline/data/msgparser/make_fixtures.sh),
# with this system's label: a multipart/signed mail for the armor target, and
# armored input for the message parser target, which puts the armor parser in
# front of text (its first byte is the reply choice).
fixtures = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "pipeline", "data", "msgparser")
def qel(name):
    with open(os.path.join(fixtures, name), "rb") as f:
        return f.read().replace(b"-----BEGIN PGP ", b"-----BEGIN QEL ").replace(b"-----END PGP ", b"-----END QEL ")
with open(os.path.join(out, "mime"), "wb") as f:
    f.write(b"\x02" + qel("armored-mime.eml"))
parser = os.path.join(os.path.dirname(out), "msgparser")
for name, choice, fixture in (("armored-sign", 3, "armored-sign.asc"), ("armored-clear", 0, "armored-clear.asc"),
                              ("armored-mime", 0x21, "armored-mime.eml")):
    with open(os.path.join(parser, name), "wb") as f:
        f.write(bytes([choice]) + qel(fixture))
