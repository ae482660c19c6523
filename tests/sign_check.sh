#!/usr/bin/env bash
# Signing as build-windows.sh signs the shipped programs, with a certificate made here: the
# signed program verifies; an unsigned one, one changed after signing, and one signed with a
# key that is not the certificate's do not. Usage: sign_check.sh SOURCE_DIR
set -euo pipefail
sign="$1/scripts/sign-windows.sh"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }
printf 'int main(void) { return 0; }\n' > p.c
x86_64-w64-mingw32-gcc -s -o p.exe p.c
for n in a b; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Farwen test signing $n" \
    -addext "extendedKeyUsage=codeSigning" -keyout "key-$n.pem" -out "cert-$n.pem" 2>/dev/null
done
verify() { osslsigncode verify -CAfile cert-a.pem "$1" > v.txt 2>&1 && grep -q "Signature verification: ok" v.txt; }
cp p.exe unsigned.exe
env -u FARWEN_SIGN_CERT bash "$sign" unsigned.exe 2> says.txt
cmp -s p.exe unsigned.exe && grep -q "left unsigned" says.txt || fail "without a certificate the program is not left as it was"
verify unsigned.exe && fail "an unsigned program verifies"
cp p.exe signed.exe
FARWEN_SIGN_CERT=cert-a.pem FARWEN_SIGN_KEY=key-a.pem bash "$sign" signed.exe
verify signed.exe || { cat v.txt; fail "the signed program does not verify"; }
python3 - <<'PY'
data = bytearray(open("signed.exe", "rb").read())
data[0x400] ^= 0xFF  # a byte of the code
open("changed.exe", "wb").write(data)
PY
verify changed.exe && fail "a program changed after signing verifies"
cp p.exe wrong.exe
FARWEN_SIGN_CERT=cert-a.pem FARWEN_SIGN_KEY=key-b.pem bash "$sign" wrong.exe 2>/dev/null && verify wrong.exe && fail "a key that is not the certificate's signs"
ls ./*.signed >/dev/null 2>&1 && fail "a half-signed file was left"
echo "signing: 5 rows passed"
