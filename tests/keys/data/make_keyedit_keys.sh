#!/bin/bash
# Makes the fixtures of the key-editing tests with GnuPG:
#   keyedit_secret.gpg  secret keys (with their public parts), each protected
#                       by its own passphrase "<name>-pass":
#     Alice  RSA sign/cert with an RSA encryption subkey, two user IDs; Bob has
#            certified "Alice <alice@example.org>"
#     Bob    DSA with an ElGamal encryption subkey
#     Carol  RSA that names Bob as designated revoker (class 0x80)
#     Dave   RSA that expired five days ago
#   keyedit_carol_public.gpg  Carol without her secret part (revoked by Bob)
#   keyedit_bob_secret.gpg    Bob alone
#   keyedit.colons  gpg --with-colons --list-sigs of the whole ring
# Keys are small (1024 bits): size is not the point of these tests.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)"
home="$(mktemp -d)"
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
g() { gpg --quiet --homedir "$home" --batch --pinentry-mode loopback --yes "$@"; }
echo allow-weak-key-signatures >"$home/gpg.conf"
NOW=$(date +%s)
at() { g --faked-system-time "$(( NOW - $1 * 86400 ))" "${@:2}"; }
fpr() { g --with-colons --list-keys "$1" | awk -F: '/^fpr/ {print $10; exit}'; }

at 30 --passphrase alice-pass --quick-gen-key 'Alice <alice@example.org>' rsa1024 sign,cert never
ALICE=$(fpr alice@example.org)
at 30 --passphrase alice-pass --quick-add-key "$ALICE" rsa1024 encr never
at 29 --passphrase alice-pass --quick-add-uid "$ALICE" 'Alice Work <alice@work.example>'
at 30 --passphrase bob-pass --quick-gen-key 'Bob <bob@example.org>' dsa1024 sign,cert never
BOB=$(fpr bob@example.org)
at 30 --passphrase bob-pass --quick-add-key "$BOB" elg1024 encr never
at 20 --passphrase bob-pass --default-key "$BOB" --quick-sign-key "$ALICE" 'Alice <alice@example.org>'
at 30 --passphrase carol-pass --quick-gen-key 'Carol <carol@example.org>' rsa1024 sign,cert,encr never
CAROL=$(fpr carol@example.org)
printf 'addrevoker\n%s\ny\nsave\n' "$BOB" |
  at 25 --passphrase carol-pass --command-fd 0 --edit-key "$CAROL" >/dev/null 2>&1
at 30 --passphrase dave-pass --quick-gen-key 'Dave <dave@example.org>' rsa1024 sign,cert,encr 25d
DAVE=$(fpr dave@example.org)

: >"$out/keyedit_secret.gpg"
for k in alice:"$ALICE" bob:"$BOB" carol:"$CAROL" dave:"$DAVE"; do
  g --passphrase "${k%%:*}-pass" --export-secret-keys "${k#*:}" >>"$out/keyedit_secret.gpg"
done
g --export "$CAROL" >"$out/keyedit_carol_public.gpg"
g --passphrase bob-pass --export-secret-keys "$BOB" >"$out/keyedit_bob_secret.gpg"
g --with-colons --fixed-list-mode --list-sigs >"$out/keyedit.colons"
