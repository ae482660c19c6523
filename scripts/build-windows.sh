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
  libzstd-dev libdivsufsort-dev zlib1g-dev dpkg-dev
# Held shared while compiling against it, so that another build's win-deps.sh leaves it be.
for try in 1 2; do
  prefix=$(bash "$root/scripts/win-deps.sh")
  exec 9>>"$prefix.lock"
  flock -s 9
  [ -f "$prefix/.complete" ] && break
  exec 9>&- # removed between the two steps: once more
done
[ -f "$prefix/.complete" ] || { echo "build-windows: $prefix was removed while in use" >&2; exit 1; }
# farwen-pack's suffix sorting for bsdiff patches: libdivsufsort from Debian's source package,
# cached beside the other libraries under its own version (win-deps.sh leaves other names be).
ds_version=$(apt-cache showsrc --only-source libdivsufsort | awk '/^Version:/{print $2}' | sort -V | tail -1)
ds="$(dirname "$prefix")/divsufsort-$ds_version"
exec 8>>"$ds.lock"
flock -x 8
if [ ! -f "$ds/.complete" ]; then
  rm -rf "$ds" "$ds.work" && mkdir -p "$ds.work"
  (cd "$ds.work" && apt-get source -qq --only-source "libdivsufsort=$ds_version" && cd libdivsufsort-*/ \
    && cmake -S . -B b -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
         -DBUILD_SHARED_LIBS=OFF -DBUILD_EXAMPLES=OFF -DCMAKE_INSTALL_PREFIX="$ds" \
    && cmake --build b -j"$(nproc)" && cmake --install b) > "$ds.log" 2>&1 \
    || { tail -30 "$ds.log" >&2; echo "build-windows: libdivsufsort $ds_version failed to build" >&2; exit 1; }
  echo "libdivsufsort=$ds_version" > "$ds/SOURCES"
  rm -rf "$ds.work" && touch "$ds/.complete"
fi
flock -s 8
build="$root/build/win64"
export FARWEN_WIN_PREFIX="$prefix;$ds"
# Qt names two system libraries as Windows spells them; MinGW's files are lower-case.
for lib in Crypt32 Secur32; do
  ln -sf "/usr/x86_64-w64-mingw32/lib/lib${lib,,}.a" "$prefix/lib/lib$lib.a"
done
# A build configured against another prefix starts over: its cache names that prefix's files.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qxF "FARWEN_WIN_DEPS_PREFIX:INTERNAL=$prefix" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix/qt;$prefix;$ds" -DFARWEN_WIN_DEPS_PREFIX:INTERNAL="$prefix" -DFARWEN_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --build "$build" --target dist
