#!/bin/bash
# Makes the fixtures of the key-use tests with GnuPG and Python:
#   keyuse.gpg          exported public keys (below)
#   keyuse_secret.gpg   their secret keys, unprotected
#   keyuse.colons       gpg --with-colons listing of them
#   keyuse_choice.txt   per key: primary fingerprint and the key ID of the
#                       subkey gpg encrypts to ("none" when gpg cannot encrypt)
#   keyuse_appended.gpg the two-subkey RSA key with a newer encryption subkey
#                       appended whose binding signature was damaged
#   keyuse_appended.txt the key ID gpg encrypts to after importing it
#   keyuse_v3.gpg       a version 3 RSA key (made by Python: GnuPG no longer
#                       makes them) and keyuse_v3.txt its MD5 fingerprint over
#                       n and e and its key ID (low 64 bits of n)
#   keyuse_material.txt per key and subkey: key ID and SHA-1 over 0x99, a
#                       two-octet length and the key material after the
#                       algorithm octet
# Keys are small (1024 bits): size is not the point of these tests.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)"
home="$(mktemp -d)"
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
g() { gpg --homedir "$home" --batch --pinentry-mode loopback --passphrase '' --yes "$@"; }
echo allow-weak-key-signatures >"$home/gpg.conf"
NOW=$(date +%s)
at() { g --faked-system-time "$(( NOW - $1 * 86400 ))" "${@:2}"; }
fpr() { g --with-colons --list-keys "$1" | awk -F: '/^fpr/ {print $10; exit}'; }

# RSA with two encryption subkeys made ten and five days ago.
at 20 --quick-gen-key 'Two Subkeys <two@example.org>' rsa1024 sign,cert never
TWO=$(fpr two@example.org)
at 10 --quick-add-key "$TWO" rsa1024 encr never
at 5 --quick-add-key "$TWO" rsa1024 encr never
# DSA alone: it cannot encrypt.
at 20 --quick-gen-key 'Dsa Alone <dsa@example.org>' dsa1024 sign,cert never
DSA=$(fpr dsa@example.org)
# RSA (sign and encrypt) with an ElGamal encryption subkey.
at 20 --quick-gen-key 'Rsa Elg <rsaelg@example.org>' rsa1024 sign,cert,encr never
RELG=$(fpr rsaelg@example.org)
at 10 --quick-add-key "$RELG" elg1024 encr never
# Expiry over several self-signatures: 30 days, then 400 days (newest).
at 20 --quick-gen-key 'Longer Life <longer@example.org>' rsa1024 sign,cert 30d
LONG=$(fpr longer@example.org)
at 10 --quick-set-expire "$LONG" 400d
# 30 days, then never (newest has no expiry); a subkey living 3 days.
at 20 --quick-gen-key 'Never After <never@example.org>' rsa1024 sign,cert 30d
NEVER=$(fpr never@example.org)
at 10 --quick-set-expire "$NEVER" 0
at 2 --quick-add-key "$NEVER" rsa1024 encr 3d
# An expiry of twelve hours: less than a day is not "never".
at 0 --quick-gen-key 'Half Day <half@example.org>' rsa1024 sign,cert seconds=43200
HALF=$(fpr half@example.org)
# A revoked encryption subkey beside a good older one.
at 20 --quick-gen-key 'Sub Revoked <subrev@example.org>' rsa1024 sign,cert never
SUBREV=$(fpr subrev@example.org)
at 10 --quick-add-key "$SUBREV" rsa1024 encr never
at 5 --quick-add-key "$SUBREV" rsa1024 encr never
SUBFPR=$(g --with-colons --list-keys "$SUBREV" | awk -F: '/^fpr/ {f=$10} END {print f}')
printf 'key %s\nrevkey\ny\n0\n\ny\nsave\n' \
  "$(g --with-colons --list-keys "$SUBREV" | awk -F: '/^sub/ {n++} END {print n}')" |
  gpg --homedir "$home" --batch --pinentry-mode loopback --passphrase '' --command-fd 0 \
      --edit-key "$SUBREV" >/dev/null 2>&1
# The donor of the appended subkey: an encryption subkey newer than all.
at 20 --quick-gen-key 'Donor <donor@example.org>' rsa1024 sign,cert never
DONOR=$(fpr donor@example.org)
at 1 --quick-add-key "$DONOR" rsa1024 encr never

KEYS="$TWO $DSA $RELG $LONG $NEVER $HALF $SUBREV"
g --export $KEYS >"$out/keyuse.gpg"
g --export-secret-keys $KEYS >"$out/keyuse_secret.gpg"
g --with-colons --fixed-list-mode --with-fingerprint --with-subkey-fingerprint \
  --list-keys $KEYS >"$out/keyuse.colons"

choice() {
  local home2="$1" key="$2"
  if echo x | gpg --homedir "$home2" --batch --yes --trust-model always -e -r "$key" \
       -o "$home2/m.gpg" 2>/dev/null; then
    { gpg --homedir "$home2" --batch --list-packets "$home2/m.gpg" 2>/dev/null || true; } |
      awk '/^:pubkey enc packet:/ {print $NF; exit}'
  else
    echo none
  fi
}
: >"$out/keyuse_choice.txt"
for k in $KEYS; do echo "$k $(choice "$home" "$k")" >>"$out/keyuse_choice.txt"; done

# Append the donor's subkey with a damaged binding to the two-subkey key.
g --export "$TWO" >"$home/two.gpg"
g --export "$DONOR" >"$home/donor.gpg"
python3 - "$home/two.gpg" "$home/donor.gpg" "$out/keyuse_appended.gpg" <<'PY'
import sys
def packets(b):
    i, out = 0, []
    while i < len(b):
        h = b[i]
        if h & 0x40:
            tag = h & 0x3f; l = b[i+1]
            if l < 192: n, hl = l, 2
            elif l < 224: n, hl = ((l - 192) << 8) + b[i+2] + 192, 3
            else: n, hl = int.from_bytes(b[i+2:i+6], 'big'), 6
        else:
            tag = (h >> 2) & 15; lt = h & 3
            hl = 1 + (1, 2, 4)[lt]; n = int.from_bytes(b[i+1:i+hl], 'big')
        out.append((tag, b[i:i+hl+n])); i += hl + n
    return out
two = packets(open(sys.argv[1], 'rb').read())
donor = packets(open(sys.argv[2], 'rb').read())
k = [i for i, (t, _) in enumerate(donor) if t == 14][-1]
sub, binding = donor[k][1], bytearray(donor[k+1][1])
binding[-5] ^= 0x55   # inside the signature's last MPI
open(sys.argv[3], 'wb').write(b''.join(p for _, p in two) + sub + bytes(binding))
PY
home2="$(mktemp -d)"; chmod 700 "$home2"
gpg --homedir "$home2" --batch --import "$out/keyuse_appended.gpg" 2>/dev/null || true
choice "$home2" "$TWO" >"$out/keyuse_appended.txt"
gpgconf --homedir "$home2" --kill all >/dev/null 2>&1 || true; rm -rf "$home2"

python3 - "$out" <<'PY'
import hashlib, struct, sys, time
from cryptography.hazmat.primitives.asymmetric import rsa
out = sys.argv[1]
def mpi(x):
    b = x.to_bytes((x.bit_length() + 7) // 8, 'big')
    return struct.pack('>H', x.bit_length()) + b, b
k = rsa.generate_private_key(public_exponent=65537, key_size=1024)
n, e = k.public_key().public_numbers().n, k.public_key().public_numbers().e
(nm, nb), (em, eb) = mpi(n), mpi(e)
body = bytes([3]) + struct.pack('>IH', 1600000000, 0) + bytes([1]) + nm + em
uid = b'Version Three <v3@example.org>'
ring = bytes([0x99]) + struct.pack('>H', len(body)) + body + bytes([0xB4, len(uid)]) + uid
open(out + '/keyuse_v3.gpg', 'wb').write(ring)
open(out + '/keyuse_v3.txt', 'w').write('%s %s\n' % (hashlib.md5(nb + eb).hexdigest().upper(),
                                                    nb[-8:].hex().upper()))
# Material fingerprints of every key in keyuse.gpg.
b = open(out + '/keyuse.gpg', 'rb').read()
lines, i = [], 0
while i < len(b):
    h = b[i]
    if h & 0x40:
        tag = h & 0x3f; l = b[i+1]
        if l < 192: n_, hl = l, 2
        elif l < 224: n_, hl = ((l - 192) << 8) + b[i+2] + 192, 3
        else: n_, hl = int.from_bytes(b[i+2:i+6], 'big'), 6
    else:
        tag = (h >> 2) & 15; hl = 1 + (1, 2, 4)[h & 3]; n_ = int.from_bytes(b[i+1:i+hl], 'big')
    pb = b[i+hl:i+hl+n_]; i += hl + n_
    if tag in (6, 14) and pb[0] == 4:
        keyid = hashlib.sha1(b'\x99' + struct.pack('>H', len(pb)) + pb).hexdigest().upper()[-16:]
        m = pb[6:]
        lines.append('%s %s' % (keyid, hashlib.sha1(b'\x99' + struct.pack('>H', len(m)) + m).hexdigest().upper()))
open(out + '/keyuse_material.txt', 'w').write('\n'.join(lines) + '\n')
PY
echo "fixtures written to $out"
