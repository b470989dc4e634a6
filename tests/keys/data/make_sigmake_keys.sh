#!/bin/bash
# Makes the keys for the signature-making tests with GnuPG:
#   sigmake-secret.gpg  secret keys protected by the pass phrase below:
#                       Alice (RSA-1024 with an RSA-1024 encryption subkey)
#                       and Dave (DSA-2048 with an ElGamal-1024 subkey)
#   sigmake-public.gpg  Bob's public key (RSA-1024), the key certified there
#   sigmake.txt         the pass phrase and the key IDs (name id per line)
# Run from anywhere; writes beside this script. Needs gpg 2.2.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)"
home="$(mktemp -d)"
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
pass='sig make pass phrase'
T0=1700000000
g() { gpg --homedir "$home" --batch --pinentry-mode loopback --yes --faked-system-time "$T0" "$@"; }
keyid() { gpg --homedir "$home" --batch --with-colons --list-keys "$1" | awk -F: '/^pub/ {print $5; exit}'; }
fpr() { gpg --homedir "$home" --batch --with-colons --list-keys "$1" | awk -F: '/^fpr/ {print $10; exit}'; }

g --passphrase "$pass" --quick-gen-key 'Alice Maker <alice@maker.example>' rsa1024 sign,cert never
g --passphrase "$pass" --quick-add-key "$(fpr alice@maker.example)" rsa1024 encr never
g --passphrase "$pass" --quick-gen-key 'Dave Maker <dave@maker.example>' dsa2048 sign,cert never
g --passphrase "$pass" --quick-add-key "$(fpr dave@maker.example)" elg1024 encr never
g --passphrase '' --quick-gen-key 'Bob Other <bob@other.example>' rsa1024 sign,cert never

g --passphrase "$pass" --export-secret-keys alice@maker.example dave@maker.example >"$out/sigmake-secret.gpg"
g --export bob@other.example >"$out/sigmake-public.gpg"
{
    echo "pass $pass"
    for n in alice@maker.example dave@maker.example bob@other.example; do echo "${n%%@*} $(keyid "$n")"; done
} >"$out/sigmake.txt"
