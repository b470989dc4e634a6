#!/bin/bash
# Makes a small web of trust with GnuPG and records GnuPG's own validity of
# every user ID as an oracle:
#   trustweb.gpg     Alice's unprotected secret key, then every other key
#                    (public, local signatures included)
#   trustweb.colons  gpg --with-colons --list-keys after --check-trustdb with
#                    marginals-needed 2, completes-needed 1, max-cert-depth 4
#   trustweb.keys    "name fingerprint" of every key
# Alice is the axiomatic key. Owner trust (also listed in trustweb.keys as
# the tests set it): Carol, Dave and M1..M8 marginal; I1..I4, Xena and Rita
# full.
#   Bob              certified by Alice
#   Eve              certified by the marginal Carol and Dave
#   Frank            certified by the marginal Carol alone
#   Gina             certified by nobody
#   I1..I5           a chain: Alice -> I1 -> I2 -> I3 -> I4 -> I5
#   Trent            trust signature by Alice, depth 2, full
#   Ivan             trust signature by Trent, depth 1, full; Ivan certifies Ivy
#   Nia              local (non-exportable) trust signature by Trent; Nia
#                    certifies Nick
#   Rex              trust signature by Alice, depth 1, full, restricted to
#                    example.com; Rex certifies Jo (jo@example.com) and
#                    Ko (ko@other.net)
#   Xena             valid one day from creation, certified by Alice; Xena
#                    certifies Yuri
#   M1..M8           certified by Alice and by one another; all certify Zed
#   Rita             full owner trust, certified by Alice, certifies Sam;
#                    Rita's key is revoked
#   Cy1..Cy3         a ring of certifications: Cy1 -> Cy2 -> Cy3 -> Cy1
# Run from anywhere; writes beside this script. Needs gpg 2.2.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)"
home="$(mktemp -d)"
trap 'gpgconf --homedir "$home" --kill all >/dev/null 2>&1 || true; rm -rf "$home"' EXIT
chmod 700 "$home"
cat >"$home/gpg.conf" <<CONF
allow-weak-key-signatures
marginals-needed 2
completes-needed 1
max-cert-depth 4
trust-model pgp
CONF
T0=1700000000
step=0
g() { step=$((step + 10)); gpg --homedir "$home" --batch --pinentry-mode loopback --passphrase '' --yes \
        --faked-system-time "$((T0 + step))" "$@"; }
fpr() { gpg --homedir "$home" --batch --with-colons --list-keys "<$1>" | awk -F: '/^fpr/ {print $10; exit}'; }
: >"$out/trustweb.keys"
key() { # name email [expiry]
    g --quick-gen-key "$1 <$2>" rsa1024 sign,cert "${3:-never}" >/dev/null 2>&1
    echo "$1 $(fpr "$2")" >>"$out/trustweb.keys"
}
certify() { g -u "<$1>" --quick-sign-key "$(fpr "$2")" >/dev/null 2>&1; }
# trust signature: signer, target, depth, domain ('' for none), local (0/1)
tsign() {
    local cmd=tsign
    [ "$5" = 1 ] && cmd=ltsign
    printf '2\n%s\n%s\ny\n' "$3" "$4" | g --command-fd 0 --status-fd 1 -u "<$1>" --edit-key "$(fpr "$2")" $cmd save >/dev/null 2>&1
}

key Alice alice@example.org
for n in Bob Carol Dave Eve Frank Gina I1 I2 I3 I4 I5 Trent Ivan Ivy Nia Nick Rex Zed; do
    key "$n" "$(echo "$n" | tr 'A-Z' 'a-z')@example.org"
done
key Jo jo@example.com
key Ko ko@other.net
key Xena xena@example.org 1d
key Yuri yuri@example.org
for i in 1 2 3 4 5 6 7 8; do key "M$i" "m$i@example.org"; done
for n in Rita Sam Cy1 Cy2 Cy3; do key "$n" "$(echo "$n" | tr 'A-Z' 'a-z')@example.org"; done

certify alice@example.org bob@example.org
certify alice@example.org carol@example.org
certify alice@example.org dave@example.org
certify carol@example.org eve@example.org
certify dave@example.org eve@example.org
certify carol@example.org frank@example.org
certify alice@example.org i1@example.org
certify i1@example.org i2@example.org
certify i2@example.org i3@example.org
certify i3@example.org i4@example.org
certify i4@example.org i5@example.org
tsign alice@example.org trent@example.org 2 '' 0
tsign trent@example.org ivan@example.org 1 '' 0
certify ivan@example.org ivy@example.org
tsign trent@example.org nia@example.org 1 '' 1
certify nia@example.org nick@example.org
tsign alice@example.org rex@example.org 1 example.com 0
certify rex@example.org jo@example.com
certify rex@example.org ko@other.net
certify alice@example.org xena@example.org
certify xena@example.org yuri@example.org
for i in 1 2 3 4 5 6 7 8; do
    certify alice@example.org "m$i@example.org"
    certify "m$i@example.org" zed@example.org
    for j in 1 2 3 4 5 6 7 8; do
        [ "$i" = "$j" ] || certify "m$i@example.org" "m$j@example.org"
    done
done
certify alice@example.org rita@example.org
certify rita@example.org sam@example.org
# GnuPG keeps a revocation for every key it made, its armor line disarmed.
sed 's/^:-----BEGIN/-----BEGIN/' "$home/openpgp-revocs.d/$(fpr rita@example.org).rev" >"$home/rita.rev"
g --import "$home/rita.rev" >/dev/null 2>&1
certify cy1@example.org cy2@example.org
certify cy2@example.org cy3@example.org
certify cy3@example.org cy1@example.org

# Owner trust as the tests set it: 2 undefined, 4 marginal, 5 full, 6 ultimate.
{
    while read -r name f; do
        case "$name" in
            Alice) echo "$f:6:" ;;
            Carol|Dave|M?) echo "$f:4:" ;;
            I1|I2|I3|I4|Xena|Rita) echo "$f:5:" ;;
            *) echo "$f:2:" ;;
        esac
    done <"$out/trustweb.keys"
} >"$home/ownertrust.txt"
g --import-ownertrust "$home/ownertrust.txt" >/dev/null 2>&1
g --check-trustdb >/dev/null 2>&1 || true
g --with-colons --list-keys 2>/dev/null | grep -E '^(pub|uid|fpr)' >"$out/trustweb.colons"

{
    g --export-secret-keys "<alice@example.org>"
    while read -r name f; do
        [ "$name" = Alice ] || g --export-options export-local-sigs --export "$f"
    done <"$out/trustweb.keys"
} >"$out/trustweb.gpg"
