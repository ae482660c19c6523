#!/usr/bin/env bash
# Builds the 64-bit Windows updater with MinGW-w64 against our own cross-built libraries
# (scripts/win-deps.sh, cached per machine) into build/win64, and leaves the shippable
# dist/FarwenUpdater-<version>-win64.zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages g++-mingw-w64-x86-64-posix cmake make python3
prefix=$(bash "$root/scripts/win-deps.sh")
build="$root/build/win64"
export FARWEN_WIN_PREFIX="$prefix"
# Qt names two system libraries as Windows spells them; MinGW's files are lower-case.
for lib in Crypt32 Secur32; do
  ln -sf "/usr/x86_64-w64-mingw32/lib/lib${lib,,}.a" "$prefix/lib/lib$lib.a"
done
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix/qt;$prefix" -DFARWEN_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --build "$build" --target dist
