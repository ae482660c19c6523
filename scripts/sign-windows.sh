#!/usr/bin/env bash
# Signs Windows programs in place with osslsigncode (Authenticode, SHA-256) when a certificate
# is given: FARWEN_SIGN_CERT (PEM or DER certificate chain) and FARWEN_SIGN_KEY (its private
# key, PEM or DER), FARWEN_SIGN_TIMESTAMP optionally a timestamp server's URL. Without a
# certificate it says so and leaves the files unsigned.
# Usage: scripts/sign-windows.sh FILE.exe...
set -euo pipefail
if [ -z "${FARWEN_SIGN_CERT:-}" ]; then
  echo "sign-windows: no certificate given (FARWEN_SIGN_CERT, FARWEN_SIGN_KEY): left unsigned" >&2
  exit 0
fi
[ -n "${FARWEN_SIGN_KEY:-}" ] || { echo "sign-windows: FARWEN_SIGN_CERT given without FARWEN_SIGN_KEY" >&2; exit 1; }
for exe in "$@"; do
  args=(sign -h sha256 -certs "$FARWEN_SIGN_CERT" -key "$FARWEN_SIGN_KEY" -n "$(basename "$exe" .exe)" -in "$exe" -out "$exe.signed")
  [ -n "${FARWEN_SIGN_TIMESTAMP:-}" ] && args+=(-ts "$FARWEN_SIGN_TIMESTAMP")
  rm -f "$exe.signed"
  osslsigncode "${args[@]}" >/dev/null || { rm -f "$exe.signed"; echo "sign-windows: signing $exe failed" >&2; exit 1; }
  mv "$exe.signed" "$exe"
  echo "sign-windows: signed $exe" >&2
done
