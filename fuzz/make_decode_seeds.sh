#!/bin/sh
# Seeds of the decode fuzz target: GnuPG messages of the message parser's
# fixtures behind a choice byte (0: answers into a buffer, 1: discard, 2: stop
# at signed sections), and two DER elements read as certificates (4).
# Usage: make_decode_seeds.sh (from the source root)
set -eu
in=tests/pipeline/data/msgparser
out=fuzz/corpus/decode
mkdir -p "$out"
# This system's armor labels say QEL where GnuPG's say PGP.
seed() { printf "\\$(printf '%03o' "$1")" > "$out/$3"; sed 's/^-----\(BEGIN\|END\) PGP /-----\1 QEL /' "$2" >> "$out/$3"; }
seed 0 "$in/pk-rsa.gpg" pk-rsa
seed 1 "$in/sym-AES-zip.gpg" sym-zip
seed 2 "$in/sign-two.gpg" sign-two
seed 0 "$in/armored-sym.asc" armored-sym
seed 1 "$in/clearsigned.asc" clearsigned
seed 0 "$in/detached-bin.sig" detached
printf '\004\060\001\005\060\000' > "$out/der-two"
