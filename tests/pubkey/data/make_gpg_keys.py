#!/usr/bin/env python3
"""Secret keys, and session keys encrypted to them, made by GnuPG for the
interoperability tests. In a temporary GNUPGHOME: an RSA-2048 primary key
with an ElGamal-2048 subkey (gpg --quick-add-key FPR elg2048), and a
DSA-2048 primary key, all protected with the pass phrase below. gpg exports
the secret keys with its default protection (usage 254, S2K 3); a message
encrypted to each encryption key gives a public-key encrypted session key
packet and, through --show-session-key, the session key in it.

Writes gpg_keys.txt, one record per line:
  key ALG PASSPHRASE PUBLIC-MATERIAL-HEX SECRET-MATERIAL-HEX
  esk ALG CIPHERTEXT-MPIS-HEX SESSION-KEY-HEX   (algorithm octet + key)
"""
import os
import re
import subprocess
import tempfile

PASSPHRASE = "gpg test pass phrase"


def gpg(home, *args, data=None):
    cmd = ["gpg", "--homedir", home, "--batch", "--pinentry-mode", "loopback", "--passphrase", PASSPHRASE,
           "--no-tty", "--quiet"] + list(args)
    return subprocess.run(cmd, input=data, capture_output=True, check=True)


def packets(data):
    """(tag, body) of each OpenPGP packet."""
    i = 0
    while i < len(data):
        h = data[i]
        i += 1
        if h & 0x40:
            tag = h & 0x3F
            l0 = data[i]
            if l0 < 192:
                n, i = l0, i + 1
            elif l0 < 224:
                n, i = ((l0 - 192) << 8) + data[i + 1] + 192, i + 2
            else:
                assert l0 == 255
                n, i = int.from_bytes(data[i + 1:i + 5], "big"), i + 5
        else:
            tag = (h >> 2) & 0xF
            lt = h & 3
            size = [1, 2, 4][lt]
            n, i = int.from_bytes(data[i:i + size], "big"), i + size
        yield tag, data[i:i + n]
        i += n


def mpis_length(body, count):
    pos = 0
    for _ in range(count):
        bits = int.from_bytes(body[pos:pos + 2], "big")
        pos += 2 + (bits + 7) // 8
    return pos


COUNTS = {1: 2, 16: 3, 17: 4}


def main():
    home = tempfile.mkdtemp(prefix="qelgpg")
    os.chmod(home, 0o700)
    try:
        out = []
        gpg(home, "--quick-gen-key", "RSA Test <rsa@example.org>", "rsa2048", "sign,cert", "never")
        fpr_rsa = re.findall(r"^fpr:+([0-9A-F]+):", gpg(home, "--with-colons", "--list-keys", "rsa@example.org")
                             .stdout.decode(), re.M)[0]
        gpg(home, "--quick-add-key", fpr_rsa, "elg2048", "encr", "never")
        gpg(home, "--quick-add-key", fpr_rsa, "rsa2048", "encr", "never")
        gpg(home, "--quick-gen-key", "DSA Test <dsa@example.org>", "dsa2048", "sign", "never")
        secret = gpg(home, "--export-secret-keys").stdout
        for tag, body in packets(secret):
            if tag not in (5, 7):
                continue
            assert body[0] == 4
            alg = body[5]
            material = body[6:]
            public = material[:mpis_length(material, COUNTS[alg])]
            out.append("key %d %s %s %s" % (alg, PASSPHRASE.replace(" ", "_"), public.hex(), material.hex()))
        # One message to the key's encryption subkeys: a session key packet for each.
        for sub in ("elg", "rsa"):
            listing = gpg(home, "--with-colons", "--list-keys", fpr_rsa).stdout.decode()
            subs = re.findall(r"^sub:[^:]*:[^:]*:(\d+):([0-9A-F]+):", listing, re.M)
            want = {"elg": "16", "rsa": "1"}[sub]
            keyid = [k for a, k in subs if a == want][0]
            enc = gpg(home, "--encrypt", "--recipient", keyid + "!", "--output", "-", data=b"hello").stdout
            shown = gpg(home, "--decrypt", "--show-session-key", "--output", "/dev/null", data=enc).stderr.decode()
            algo, key = re.search(r"session key: '(\d+):([0-9A-F]+)'", shown).groups()
            for tag, body in packets(enc):
                if tag == 1:
                    assert body[0] == 3
                    out.append("esk %d %s %02x%s" % (body[9], body[10:].hex(), int(algo), key.lower()))
        with open("gpg_keys.txt", "w") as f:
            f.write("\n".join(out) + "\n")
    finally:
        subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"], capture_output=True)
        subprocess.run(["rm", "-rf", home])


if __name__ == "__main__":
    main()
