#!/usr/bin/env bash
# Builds FarwenUpdater against Qt 5 and Qt 6, runs the whole suite on both, and
# cross-compiles the Windows platform layer with MinGW-w64.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"

jobs=$(nproc)
for qt in 5 6; do
  build="$root/build/test-qt$qt"
  flag=OFF; [ "$qt" = 6 ] && flag=ON
  echo "== Qt $qt"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFARWEN_QT6=$flag -DFARWEN_BENCH=OFF >/dev/null
  cmake --build "$build" -j"$jobs"
  (cd "$build" && ctest --output-on-failure -j"$jobs")
done

echo "== MinGW-w64 probe of the Windows platform layer"
x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -I"$root/src" \
  "$root/src/platform/platform_win.cpp" "$root/src/platform/windows_cmdline.cpp" \
  "$root/scripts/dev/win_platform_probe.cpp" -o "$root/build/win_platform_probe.exe" -ladvapi32 -lshell32
echo "win_platform_probe.exe linked"

# The test budget: tests with their support against the product, in lines
# that are neither blank nor comment-only.
lines() { find "$@" \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | grep -v -E '^\s*(//.*)?$' | wc -l; }
product=$(lines "$root/src" "$root/tools"); tests=$(lines "$root/tests")
echo "== Test lines $tests, product lines $product: $((100 * tests / product)) % (budget: at most 50 %)"
