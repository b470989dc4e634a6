#!/usr/bin/env bash
# Remakes the seed corpus of the session-key target with GnuPG: the bodies
# of the symmetric-key packets (byte 0x00 in front) and public-key packets
# (0x01 in front) of a few messages to the RSA and ElGamal keys of
# tests/keys/data/secret.gpg, with and without passphrases.
set -euo pipefail
cd "$(dirname "$0")/.."
home=$(mktemp -d)
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
g() { gpg --homedir "$home" --batch --pinentry-mode loopback --yes --quiet "$@"; }
g --import tests/keys/data/secret.gpg
echo seed >"$home/plain"
g --trust-model always -r main@example.org -r plain@example.org -o "$home/m1" --encrypt "$home/plain"
g --trust-model always --passphrase p --s2k-count 1024 -r plain@example.org -o "$home/m2" \
  --encrypt --symmetric "$home/plain"
g --passphrase p --s2k-mode 0 --cipher-algo CAST5 -o "$home/m3" --symmetric "$home/plain"
g --passphrase p --s2k-mode 1 --s2k-digest-algo SHA256 -o "$home/m4" --symmetric "$home/plain"
out=fuzz/corpus/sesskey
mkdir -p "$out"
python3 - "$out" "$home"/m1 "$home"/m2 "$home"/m3 "$home"/m4 <<'PY'
import sys
out = sys.argv[1]
n = 0
for path in sys.argv[2:]:
    data = open(path, 'rb').read()
    pos = 0
    while pos < len(data):
        ctb = data[pos]; pos += 1
        if ctb & 0x40:
            tag = ctb & 0x3F
            a = data[pos]; pos += 1
            if a < 192: length = a
            elif a < 224: length = ((a - 192) << 8) + data[pos] + 192; pos += 1
            else: break  # partial lengths: the encrypted data, last anyway
        else:
            tag = (ctb >> 2) & 15
            width = 1 << (ctb & 3)
            length = int.from_bytes(data[pos:pos + width], 'big'); pos += width
        body = data[pos:pos + length]; pos += length
        if tag in (1, 3):
            n += 1
            open('%s/%s_%d' % (out, 'pk' if tag == 1 else 'sym', n), 'wb').write(bytes([tag == 1]) + body)
PY
# Two that the checks refuse: an RSA MPI past the body, an ElGamal body with one MPI.
printf '\x01\x03\x11\x11\x11\x11\x11\x11\x11\x11\x01\x04\x00ZZ' >"$out/rsa_mpi_past_body"
printf '\x01\x03\x11\x11\x11\x11\x11\x11\x11\x11\x10\x00\x08Z' >"$out/elgamal_one_mpi"
printf '\x00' >"$out/no_packet"
