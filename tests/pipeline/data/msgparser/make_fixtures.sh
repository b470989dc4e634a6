#!/bin/sh
# Makes the GnuPG fixtures of msgparser_test.cpp: messages of every kind gpg
# writes, each with the session key gpg used (--show-session-key), so the
# parser's replies can be driven without the job's key handling.
# Usage: make_fixtures.sh OUTDIR
set -eu
out=${1:-.}
mkdir -p "$out"
out=$(cd "$out" && pwd)
GNUPGHOME=$(mktemp -d)
export GNUPGHOME
trap 'gpgconf --kill all >/dev/null 2>&1 || true; rm -rf "$GNUPGHOME"' EXIT
G="gpg --batch --yes --pinentry-mode loopback --passphrase pw --no-auto-check-trustdb --trust-model always"
cd "$GNUPGHOME"
printf 'Line one\nLine two with trailing spaces   \nTabs\t\t\n- dash line\n-----BEGIN not armor\nlast line' > plain.txt
head -c 70000 /dev/urandom > plain.bin 2>/dev/null || true
$G --quick-gen-key 'RSA Tester <rsa@example.org>' rsa2048 sign,encr never
$G --quick-gen-key 'DSA Tester <dsa@example.org>' dsa2048 sign never
fp=$($G --list-keys --with-colons dsa@example.org | awk -F: '/^fpr/ {print $10; exit}')
$G --quick-add-key "$fp" elg2048 encr never
cp plain.txt plain.bin "$out"/

sk() { # file -> session key line
    $G --decrypt --show-session-key -o /dev/null "$1" 2>&1 | sed -n 's/.*session key: .\([0-9]*:[0-9A-F]*\).*/\1/p'
}
emit() { # name file
    cp "$2" "$out/$1.gpg"
    sk "$2" > "$out/$1.key" || true
}
for cipher in AES AES192 AES256 CAST5 3DES BLOWFISH TWOFISH CAMELLIA128 CAMELLIA256 IDEA; do
    for mode in 0 1 3; do
        rm -f m.gpg
        if $G --symmetric --s2k-mode $mode --cipher-algo $cipher -z 0 -o m.gpg plain.txt 2>/dev/null; then
            emit "sym-$cipher-s2k$mode" m.gpg
        fi
    done
done
for z in zip zlib bzip2; do
    $G --symmetric --cipher-algo AES --compress-algo $z -o m.gpg plain.bin
    emit "sym-AES-$z" m.gpg
done
$G --symmetric --cipher-algo AES --force-mdc -z 0 -o m.gpg plain.txt; emit sym-mdc m.gpg
$G --symmetric --cipher-algo CAST5 --rfc2440 -z 0 -o m.gpg plain.txt; emit sym-nomdc m.gpg
$G --encrypt -r rsa@example.org -o m.gpg plain.txt; emit pk-rsa m.gpg
$G --encrypt -r dsa@example.org -o m.gpg plain.txt; emit pk-elg m.gpg
$G --encrypt --throw-keyids -r rsa@example.org -o m.gpg plain.txt; emit pk-throw m.gpg
$G -c -e -r rsa@example.org -o m.gpg plain.txt; emit pk-sym m.gpg
$G --sign -u rsa@example.org -o "$out/sign-bin.gpg" plain.bin
$G --sign -u rsa@example.org -z 0 -o "$out/sign-bin-z0.gpg" plain.bin
$G --sign --textmode -u rsa@example.org -z 0 -o "$out/sign-text.gpg" plain.txt
$G --sign -u rsa@example.org -u dsa@example.org -z 0 -o "$out/sign-two.gpg" plain.txt
$G --detach-sign -u rsa@example.org -o "$out/detached-bin.sig" plain.bin
$G --detach-sign --textmode -u rsa@example.org -o "$out/detached-text.sig" plain.txt
$G --clearsign -u rsa@example.org -o "$out/clearsigned.asc" plain.txt
$G --sign -u rsa@example.org -e -r rsa@example.org -o m.gpg plain.txt; emit sign-enc m.gpg
sed -n "/BEGIN PGP SIGNATURE/,\$p" "$out/clearsigned.asc" | $G --dearmor > "$out/clearsigned.sig"
# Armored forms, read with the armor parser in front of the message parser,
# and a MIME multipart/signed message whose detached signature GnuPG made
# over the canonical (CR LF) signed part.
$G --armor --sign -u rsa@example.org -o "$out/armored-sign.asc" plain.txt
$G --armor --symmetric --cipher-algo AES -o "$out/armored-sym.asc" plain.txt
$G --decrypt --show-session-key -o /dev/null "$out/armored-sym.asc" 2>&1 |
    sed -n 's/.*session key: .\([0-9]*:[0-9A-F]*\).*/\1/p' > "$out/armored-sym.key"
printf -- '- leading dash\n-----five dashes\nFrom the start\ntrailing spaces   \ntabs\t\t\nlast line\n' > clear.txt
$G --clearsign -u rsa@example.org -o "$out/armored-clear.asc" clear.txt
# RFC 3156: the signed part is its MIME headers, a blank line and the body,
# hashed with CR LF line ends and without the CR LF before the boundary.
printf 'Content-Type: text/plain\r\n\r\nMIME body line\r\n- dashed line\r\nlast line' > part.txt
$G --armor --detach-sign --textmode -u rsa@example.org -o part.sig part.txt
{
    printf 'Content-Type: multipart/signed; micalg=pgp-sha256;\n'
    printf ' protocol="application/qel-signature"; boundary="=-=b0und4ry=-="\n\n'
    printf 'This is an OpenPGP/MIME signed message (RFC 3156).\n'
    printf -- '--=-=b0und4ry=-=\n'
    tr -d '\r' < part.txt
    printf '\n--=-=b0und4ry=-=\n'
    printf 'Content-Type: application/qel-signature; name="signature.asc"\n\n'
    cat part.sig
    printf '\n--=-=b0und4ry=-=--\n'
} > "$out/armored-mime.eml"
