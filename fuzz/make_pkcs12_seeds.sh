#!/bin/sh
# Makes the seed corpus of pkcs12_fuzz with OpenSSL: files under password
# "pw" (the fuzzer's first octet 01 selects it) in OpenSSL 3's default form
# (PBES2 with AES-256-CBC) and the legacy form, without a MAC and with one
# iteration so that mutations reach the bags quickly, plus one with a
# SHA-256 MAC and one with an empty password (first octet 00).
set -e
out=$(cd "$(dirname "$0")" && pwd)/corpus/pkcs12
mkdir -p "$out"
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
cd "$w"
openssl req -x509 -newkey rsa:512 -nodes -keyout k.pem -out c.pem -days 3 -subj /CN=Seed 2>/dev/null
seed() {
    name=$1; prefix=$2; shift 2
    openssl pkcs12 -export -inkey k.pem -in c.pem "$@" -out f.p12
    printf "$prefix" > "$out/$name"
    cat f.p12 >> "$out/$name"
}
seed pbes2-nomac '\001' -passout pass:pw -nomac -iter 1
seed legacy-nomac '\001' -passout pass:pw -nomac -iter 1 -legacy
seed plain-certs '\001' -passout pass:pw -nomac -iter 1 -certpbe NONE -keypbe PBE-SHA1-3DES
seed sha256-mac '\001' -passout pass:pw -iter 1 -nomaciter
seed empty-password '\000' -passout pass: -iter 1 -nomaciter -legacy
