#!/bin/bash
# Makes the key-ring fixtures of the key-database tests with GnuPG:
#   public.gpg / secret.gpg   exported public and secret rings
#   public.colons / secret.colons   gpg --with-colons listings of them
#   public.packets            gpg --list-packets of the public ring
# Run from anywhere; writes beside this script. Needs gpg 2.2 and python3. Keys are small (1024 bits): size is not the
# point of these tests.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)"
home="$(mktemp -d)"
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
g() { gpg --homedir "$home" --batch --pinentry-mode loopback --passphrase '' --yes "$@"; }
cat >"$home/gpg.conf" <<CONF
allow-weak-key-signatures
CONF
# Keys are made three days back, so that a short-lived subkey can be expired.
T0=$(( $(date +%s) - 3*86400 ))
gp() { g --faked-system-time "$T0" "$@"; }
fpr() { g --with-colons --list-keys "$1" | awk -F: '/^fpr/ {print $10; exit}'; }

# An RSA key that will be revoked, made long ago so that a short-lived
# subkey of the next key can be expired already.
gp --quick-gen-key 'Revoked Rsa <revoked@example.org>' rsa1024 sign,cert never
REV=$(fpr revoked@example.org)

# The revoker: an RSA key designated as revoker of the main key.
gp --quick-gen-key 'Revoker Rsa <revoker@example.org>' rsa1024 sign,cert never
RVK=$(fpr revoker@example.org)

# The main key: DSA with an ElGamal subkey, a designated revoker, several
# user IDs.
cat >"$home/dsa.batch" <<BATCH
%no-protection
Key-Type: DSA
Key-Length: 1024
Key-Usage: sign,cert
Subkey-Type: ELG-E
Subkey-Length: 1024
Subkey-Usage: encrypt
Name-Real: Main Dsa
Name-Email: main@example.org
Revoker: 1:$RVK
Expire-Date: 0
%commit
BATCH
gp --gen-key "$home/dsa.batch"
MAIN=$(fpr main@example.org)
gp --quick-add-uid "$MAIN" 'Main Dsa (second) <second@example.org>'
gp --quick-add-uid "$MAIN" 'Main Dsa (gone) <gone@example.org>'
g --quick-revoke-uid "$MAIN" 'Main Dsa (gone) <gone@example.org>'
# An expired RSA signing subkey: made two days ago with one day to live.
g --faked-system-time "$(( $(date +%s) - 2*86400 ))" --quick-add-key "$MAIN" rsa1024 sign 1d
# A photo user attribute.
python3 -c 'import base64,sys; sys.stdout.buffer.write(base64.b64decode(sys.argv[1]))' \
  '/9j/4AAQSkZJRgABAQEASABIAAD/2wBDAP//////////////////////////////////////////////////////////////////////////////////////wgALCAABAAEBAREA/8QAFBABAAAAAAAAAAAAAAAAAAAAAP/aAAgBAQABPxA=' \
  >"$home/photo.jpg"
printf 'addphoto\n%s\ny\nsave\n' "$home/photo.jpg" |
  gpg --homedir "$home" --batch --pinentry-mode loopback --passphrase '' --command-fd 0 \
      --edit-key "$MAIN" >/dev/null 2>&1

# A plain RSA key with an RSA encryption subkey.
gp --quick-gen-key 'Plain Rsa <plain@example.org>' rsa1024 sign,cert never
PLAIN=$(fpr plain@example.org)
gp --quick-add-key "$PLAIN" rsa1024 encr never

# Certifications by other keys.
g -u "$PLAIN" --quick-sign-key "$MAIN" 'Main Dsa <main@example.org>'
g -u "$MAIN" --quick-sign-key "$PLAIN"
g -u "$RVK" --quick-sign-key "$PLAIN"

# Revoke the first key with its stored revocation certificate.
sed 's/^:-----/-----/' "$home/openpgp-revocs.d/$REV.rev" >"$home/rev.asc"
g --import "$home/rev.asc"

g --export "$REV" "$RVK" "$MAIN" "$PLAIN" >"$out/public.gpg"
g --export-secret-keys "$REV" "$RVK" "$MAIN" "$PLAIN" >"$out/secret.gpg"
g --with-colons --fixed-list-mode --with-fingerprint --with-subkey-fingerprint \
  --list-keys "$REV" "$RVK" "$MAIN" "$PLAIN" >"$out/public.colons"
g --with-colons --fixed-list-mode --with-fingerprint --with-subkey-fingerprint \
  --list-secret-keys "$REV" "$RVK" "$MAIN" "$PLAIN" >"$out/secret.colons"
gpg --list-packets "$out/public.gpg" >"$out/public.packets" 2>/dev/null
echo "fixtures written to $out"
