#!/usr/bin/env bash
# FarwenUpdater against Qt 5 and Qt 6 with the whole suite on both, then the Windows leg (the
# MinGW-w64 build of scripts/build-windows.sh and its tests under Wine), then the Qt 5 build's
# whole updates of the Windows build under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"

jobs=$(nproc)
# The Linux legs first: their first results come within minutes. The Qt 5 build also drives
# whole updates of the Windows build under Wine: those run after the Windows leg.
for qt in 5 6; do
  build="$root/build/test-qt$qt"
  flag=OFF; win=""; [ "$qt" = 6 ] && flag=ON
  [ "$qt" = 5 ] && win="$root/build/win64"
  echo "== Qt $qt"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFARWEN_QT6=$flag -DFARWEN_BENCH=OFF \
    -DFARWEN_WIN_BUILD="$win" >/dev/null
  cmake --build "$build" -j"$jobs"
  (cd "$build" && ctest --output-on-failure -j"$jobs" -E under_wine)
done
echo "== Windows build: the first on a machine cross-builds Qt and the other libraries from Debian's"
echo "   sources, about 20 to 40 minutes on 2 cores (an hour or more on a loaded machine); later runs reuse them"
bash "$root/scripts/build-windows.sh"
(cd "$root/build/win64" && ctest --output-on-failure)
echo "== Qt 5 build against the Windows build, under Wine"
(cd "$root/build/test-qt5" && ctest --output-on-failure -R under_wine)

# The test budget: tests with their support against the product, in lines
# that are neither blank nor comment-only.
lines() { find "$@" \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | grep -v -E '^\s*(//.*)?$' | wc -l; }
product=$(lines "$root/src" "$root/tools"); tests=$(lines "$root/tests")
echo "== Test lines $tests, product lines $product: $((100 * tests / product)) % (budget: at most 40 %)"
