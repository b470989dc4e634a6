#!/bin/bash
# Makes the fixtures of the lossless-reading and key-choice tests with GnuPG
# and Python:
#   unusable.gpg          an Ed25519 key with a Curve25519 subkey (GnuPG's
#                         export) followed by a version 5 RSA key with a user
#                         ID (made by Python: GnuPG 2.2 makes no version 5 keys)
#   unusable_secret.gpg   the Ed25519 key's secret export, unprotected
#   unusable.colons       gpg --with-colons listing after importing unusable.gpg
#   chooser.gpg           an RSA key for signing and encryption, revoked, and
#                         an RSA key flagged for signing only
#   chooser.txt           their fingerprints: revoked, sign-only
# Run from anywhere; writes beside this script. Needs gpg 2.2 and python3.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)"
home="$(mktemp -d)"
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
g() { gpg --homedir "$home" --batch --pinentry-mode loopback --passphrase '' --yes "$@"; }
echo allow-weak-key-signatures >"$home/gpg.conf"
fpr() { g --with-colons --list-keys "$1" | awk -F: '/^fpr/ {print $10; exit}'; }

g --quick-gen-key 'Edwards <ed@example.org>' ed25519 sign,cert never
ED=$(fpr ed@example.org)
g --quick-add-key "$ED" cv25519 encr never
g --export "$ED" >"$home/ed.gpg"
g --export-secret-keys "$ED" >"$out/unusable_secret.gpg"

python3 - "$home/ed.gpg" "$out/unusable.gpg" <<'PY'
import struct, sys
from cryptography.hazmat.primitives.asymmetric import rsa
k = rsa.generate_private_key(public_exponent=65537, key_size=1024)
n, e = k.public_key().public_numbers().n, k.public_key().public_numbers().e
def mpi(x):
    return struct.pack('>H', x.bit_length()) + x.to_bytes((x.bit_length() + 7) // 8, 'big')
material = mpi(n) + mpi(e)
# Version 5 (draft RFC 4880bis): version, creation, algorithm, a four-octet
# length of the key material, the material.
body = bytes([5]) + struct.pack('>I', 1700000000) + bytes([1]) + struct.pack('>I', len(material)) + material
uid = b'Version Five <v5@example.org>'
v5 = bytes([0x99]) + struct.pack('>H', len(body)) + body + bytes([0xB4, len(uid)]) + uid
open(sys.argv[2], 'wb').write(open(sys.argv[1], 'rb').read() + v5)
PY
g --import "$out/unusable.gpg" 2>/dev/null || true
g --with-colons --fixed-list-mode --with-fingerprint --with-subkey-fingerprint --list-keys "$ED" \
  >"$out/unusable.colons"

g --quick-gen-key 'Revoked Encrypter <revenc@example.org>' rsa1024 sign,cert,encr never
REV=$(fpr revenc@example.org)
sed 's/^:-----BEGIN/-----BEGIN/' "$home/openpgp-revocs.d/$REV.rev" >"$home/rev.asc"
g --import "$home/rev.asc"
g --quick-gen-key 'Signer Only <signonly@example.org>' rsa1024 sign,cert never
SIGN=$(fpr signonly@example.org)
g --export "$REV" "$SIGN" >"$out/chooser.gpg"
echo "$REV $SIGN" >"$out/chooser.txt"
