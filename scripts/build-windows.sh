#!/usr/bin/env bash
# Builds the 64-bit Windows updater with MinGW-w64 against our own cross-built libraries
# (scripts/win-deps.sh, cached per machine) into build/win64, and leaves the shippable
# dist/FarwenUpdater-<version>-win64.zip: both programs, signed when a certificate is given,
# with LICENSE.txt and THIRD-PARTY-NOTICES.txt.
# Usage: scripts/build-windows.sh [--cert CERT --key KEY [--timestamp URL]]
#   (or FARWEN_SIGN_CERT, FARWEN_SIGN_KEY, FARWEN_SIGN_TIMESTAMP; see scripts/sign-windows.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
while [ $# -gt 0 ]; do
  case "$1" in
    --cert) export FARWEN_SIGN_CERT=$(realpath "$2"); shift 2 ;;
    --key) export FARWEN_SIGN_KEY=$(realpath "$2"); shift 2 ;;
    --timestamp) export FARWEN_SIGN_TIMESTAMP=$2; shift 2 ;;
    *) echo "usage: $0 [--cert CERT --key KEY [--timestamp URL]]" >&2; exit 2 ;;
  esac
done
for f in "${FARWEN_SIGN_CERT:-}" "${FARWEN_SIGN_KEY:-}"; do
  [ -z "$f" ] || [ -r "$f" ] || { echo "build-windows: cannot read $f" >&2; exit 2; }
done
. "$root/scripts/ensure-packages.sh"
# osslsigncode signs; the -dev packages carry the copyright files of the libraries linked in.
ensure_packages g++-mingw-w64-x86-64-posix cmake make python3 osslsigncode qtbase5-dev libarchive-dev libsodium-dev \
  libzstd-dev zlib1g-dev
# Held shared while compiling against it, so that another build's win-deps.sh leaves it be.
for try in 1 2; do
  prefix=$(bash "$root/scripts/win-deps.sh")
  exec 9>>"$prefix.lock"
  flock -s 9
  [ -f "$prefix/.complete" ] && break
  exec 9>&- # removed between the two steps: once more
done
[ -f "$prefix/.complete" ] || { echo "build-windows: $prefix was removed while in use" >&2; exit 1; }
build="$root/build/win64"
export FARWEN_WIN_PREFIX="$prefix"
# Qt names two system libraries as Windows spells them; MinGW's files are lower-case.
for lib in Crypt32 Secur32; do
  ln -sf "/usr/x86_64-w64-mingw32/lib/lib${lib,,}.a" "$prefix/lib/lib$lib.a"
done
# A build configured against another prefix starts over: its cache names that prefix's files.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qxF "FARWEN_WIN_DEPS_PREFIX:INTERNAL=$prefix" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix/qt;$prefix" -DFARWEN_WIN_DEPS_PREFIX:INTERNAL="$prefix" -DFARWEN_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --build "$build" --target dist
