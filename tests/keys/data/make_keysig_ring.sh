#!/bin/bash
# Makes the signature-check fixture with GnuPG and records GnuPG's verdicts:
#   keysig.gpg         public ring (packets as GnuPG wrote them, then three
#                      signatures spoiled, see below)
#   keysig-secret.gpg  the unprotected secret key of "Alice" (for signing tests)
#   keysig.checks      gpg --with-colons --check-sigs over keysig.gpg as it is
#   keysig.colons      gpg --with-colons --list-keys over keysig.gpg (expiry)
# Keys: Alice (RSA, several self-signatures changing preferences and expiry,
# a revoked user ID, an encryption subkey, a signing subkey whose binding is
# replaced by garbage), Bob (RSA, designated revoker Carol), Carol (DSA with
# an ElGamal subkey). Bob, Carol and Mallory certify Alice; Mallory is not in
# the ring (signature by a missing key); Bob's certification is corrupted by
# one byte. Run from anywhere; writes beside this script. Needs gpg 2.2 and
# python3.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)"
home="$(mktemp -d)"
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
cat >"$home/gpg.conf" <<CONF
allow-weak-key-signatures
CONF
T0=1700000000
# Every step runs at its own faked time so that self-signatures are ordered.
step=0
g() { step=$((step + 100)); gpg --homedir "$home" --batch --pinentry-mode loopback --passphrase '' --yes \
        --faked-system-time "$((T0 + step))" "$@"; }
fpr() { gpg --homedir "$home" --batch --with-colons --list-keys "$1" | awk -F: '/^fpr/ {print $10; exit}'; }

g --quick-gen-key 'Carol Dsa <carol@example.org>' dsa1024 sign,cert never
CAROL=$(fpr carol@example.org)
g --quick-add-key "$CAROL" elg1024 encr never

cat >"$home/bob.batch" <<BATCH
%no-protection
Key-Type: RSA
Key-Length: 1024
Key-Usage: sign,cert
Name-Real: Bob Rsa
Name-Email: bob@example.org
Revoker: 17:$CAROL
Expire-Date: 0
%commit
BATCH
g --gen-key "$home/bob.batch"
BOB=$(fpr bob@example.org)

g --quick-gen-key 'Mallory Rsa <mallory@example.org>' rsa1024 sign,cert never
MALLORY=$(fpr mallory@example.org)

g --quick-gen-key 'Alice Rsa <alice@example.org>' rsa1024 sign,cert 1y
ALICE=$(fpr alice@example.org)
g --quick-add-uid "$ALICE" 'Alice Rsa (work) <alice@work.example>'
g --quick-add-uid "$ALICE" 'Alice Rsa (old) <alice@old.example>'
g --quick-revoke-uid "$ALICE" 'Alice Rsa (old) <alice@old.example>'
g --quick-add-key "$ALICE" rsa1024 encr never
g --quick-add-key "$ALICE" rsa1024 sign never
# Preference and expiry changes, each a new self-signature on every user ID.
# GnuPG replaces the self-signature it edits, so every stage is exported and
# the stages are imported back at the end: the ring then holds them all.
stage() { gpg --homedir "$home" --batch --export "$ALICE" >"$home/stage$1.gpg"; }
stage 1
printf 'setpref AES256 AES SHA256 SHA1 ZLIB Uncompressed\ny\nsave\n' |
  g --command-fd 0 --edit-key "$ALICE" >/dev/null 2>&1
stage 2
g --quick-set-expire "$ALICE" 2y
stage 3
printf 'setpref AES SHA512 SHA1 Uncompressed\ny\nsave\n' |
  g --command-fd 0 --edit-key "$ALICE" >/dev/null 2>&1
stage 4
# Last: an expiry that is not a whole number of days.
g --quick-set-expire "$ALICE" seconds=315400000
for i in 1 2 3 4; do g --import "$home/stage$i.gpg" >/dev/null 2>&1; done

g -u "$BOB" --quick-sign-key "$ALICE" 'Alice Rsa <alice@example.org>'
g -u "$CAROL" --quick-sign-key "$ALICE" 'Alice Rsa <alice@example.org>'
g -u "$MALLORY" --quick-sign-key "$ALICE" 'Alice Rsa (work) <alice@work.example>'

gpg --homedir "$home" --batch --export "$ALICE" "$BOB" "$CAROL" >"$home/clean.gpg"
gpg --homedir "$home" --batch --pinentry-mode loopback --passphrase '' --export-secret-keys "$ALICE" \
  >"$out/keysig-secret.gpg"

# Spoil signatures: one byte of Bob's certification of Alice; the MPI of the
# binding of Alice's signing subkey (garbage of the same size); and add a copy
# of Carol's certification of Alice that names a digest algorithm nobody
# knows (GnuPG cannot check it).
python3 - "$home/clean.gpg" "$out/keysig.gpg" "${BOB:24}" "${ALICE:24}" <<'PY'
import sys, random
src, dst, bob, alice = sys.argv[1], sys.argv[2], bytes.fromhex(sys.argv[3]), bytes.fromhex(sys.argv[4])
data = open(src, 'rb').read()
rng = random.Random(14)

def packets(b):
    i = 0
    while i < len(b):
        first = b[i]
        if first & 0x40:
            tag = first & 0x3F
            l = b[i + 1]
            if l < 192: n, h = l, 2
            elif l < 224: n, h = ((l - 192) << 8) + b[i + 2] + 192, 3
            else: n, h = int.from_bytes(b[i + 2:i + 6], 'big'), 6
        else:
            tag = (first >> 2) & 0xF
            t = first & 3
            h = [2, 3, 5][t]
            n = int.from_bytes(b[i + 1:i + h], 'big')
        yield tag, b[i:i + h], bytearray(b[i + h:i + h + n])
        i += h + n

def issuer(body):
    hl = int.from_bytes(body[4:6], 'big')
    areas = body[6:6 + hl] + body[8 + hl:8 + hl + int.from_bytes(body[6 + hl:8 + hl], 'big')]
    j = 0
    while j < len(areas):
        l = areas[j]; j += 1
        if l >= 192: l = ((l - 192) << 8) + areas[j] + 192; j += 1
        if areas[j] & 0x7F == 16: return bytes(areas[j + 1:j + 9])
        j += l
    return None

import hashlib
out = bytearray()
owner = None
subkeys = 0
for tag, head, body in packets(data):
    if tag == 6:
        owner = hashlib.sha1(bytes([0x99, len(body) >> 8, len(body) & 0xFF]) + body).digest()[-8:]
        subkeys = 0
    if tag == 14:
        subkeys += 1
    extra = None
    if tag == 2 and owner == alice and 0x10 <= body[1] <= 0x13:
        if issuer(body) == bob:
            body[-5] ^= 0x01  # inside the signature MPI
        elif issuer(body) not in (alice, None) and body[2] == 17:
            extra = bytearray(body)
            extra[3] = 100
    if tag == 2 and owner == alice and body[1] == 0x18 and subkeys == 2:
        hl = int.from_bytes(body[4:6], 'big')
        ul = int.from_bytes(body[6 + hl:8 + hl], 'big')
        m = 10 + hl + ul  # the MPI: bit count, then its bytes
        for k in range(m + 2, len(body)):
            body[k] = rng.randrange(256)
        body[m + 2] |= 0x80
        bits = (len(body) - m - 2) * 8  # a well-formed MPI of garbage
        body[m], body[m + 1] = bits >> 8, bits & 0xFF
    out += head + body
    if extra is not None:
        out += head + extra
open(dst, 'wb').write(out)
PY

chk="$(mktemp -d)"
chmod 700 "$chk"
cp "$home/gpg.conf" "$chk/gpg.conf"
cp "$out/keysig.gpg" "$chk/ring.gpg"
gpg --homedir "$chk" --batch --no-default-keyring --keyring "$chk/ring.gpg" --with-colons --fixed-list-mode \
  --check-sigs >"$out/keysig.checks" 2>/dev/null || true
gpg --homedir "$chk" --batch --no-default-keyring --keyring "$chk/ring.gpg" --with-colons --fixed-list-mode \
  --list-keys >"$out/keysig.colons" 2>/dev/null || true
gpgconf --homedir "$chk" --kill all >/dev/null 2>&1 || true
rm -rf "$chk"
