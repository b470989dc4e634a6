#!/usr/bin/env python3
# Writes the armored seed of the keyimport fuzz target: a public key ring
# from the key tests in an armor block (base64 and CRC-24 as RFC 4880 puts
# them) with text before and after it. The binary seeds are copies of the
# keyring target's gnupg_public and marker_then_key.
import base64, os
here = os.path.dirname(os.path.abspath(__file__))
data = open(os.path.join(here, '..', 'tests', 'keys', 'data', 'keyedit_carol_public.gpg'), 'rb').read()

def crc24(d):
    crc = 0xB704CE
    for b in d:
        crc ^= b << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
    return crc & 0xFFFFFF

b64 = base64.b64encode(data).decode()
lines = '\n'.join(b64[i:i + 64] for i in range(0, len(b64), 64))
crc = base64.b64encode(crc24(data).to_bytes(3, 'big')).decode()
text = ("Some text first.\n-----BEGIN QEL PUBLIC KEY BLOCK-----\n\n" + lines + "\n=" + crc +
        "\n-----END QEL PUBLIC KEY BLOCK-----\ntrailing text\n")
open(os.path.join(here, 'corpus', 'keyimport', 'armored_with_text'), 'w').write(text)
