#!/bin/bash
# Makes keyuse_resigned.gpg: two RSA keys whose user ID carries two
# self-signatures made ten days apart (GnuPG keeps only the newest, so the
# older one is spliced back in from an earlier export):
#   "Thirty Then Never": 30 days, then no expiry;  older signature first
#   "Never Then Long":   no expiry, then 400 days; newer signature first
# keyuse_resigned.colons is GnuPG's listing of the keys as it keeps them.
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
at 20 --quick-gen-key 'Thirty Then Never <ttn@example.org>' rsa1024 sign,cert 30d
A=$(fpr ttn@example.org)
at 20 --quick-gen-key 'Never Then Long <ntl@example.org>' rsa1024 sign,cert never
B=$(fpr ntl@example.org)
g --export "$A" >"$home/a1.gpg"; g --export "$B" >"$home/b1.gpg"
at 10 --quick-set-expire "$A" 0
at 10 --quick-set-expire "$B" 400d
g --export "$A" >"$home/a2.gpg"; g --export "$B" >"$home/b2.gpg"
g --with-colons --fixed-list-mode --list-keys "$A" "$B" >"$out/keyuse_resigned.colons"
python3 - "$home" "$out/keyuse_resigned.gpg" <<'PY'
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
            tag = (h >> 2) & 15; hl = 1 + (1, 2, 4)[h & 3]; n = int.from_bytes(b[i+1:i+hl], 'big')
        out.append((tag, b[i:i+hl+n])); i += hl + n
    return out
home, dest = sys.argv[1], sys.argv[2]
def spliced(old, new, older_first):
    o, n = packets(open(home + '/' + old, 'rb').read()), packets(open(home + '/' + new, 'rb').read())
    old_sig = o[[t for t, _ in o].index(13) + 1][1]
    u = [t for t, _ in n].index(13)
    new_sig = n[u + 1][1]
    sigs = [old_sig, new_sig] if older_first else [new_sig, old_sig]
    return b''.join(p for _, p in n[:u + 1]) + b''.join(sigs) + b''.join(p for _, p in n[u + 2:])
open(dest, 'wb').write(spliced('a1.gpg', 'a2.gpg', True) + spliced('b1.gpg', 'b2.gpg', False))
PY
echo "fixtures written to $out"
