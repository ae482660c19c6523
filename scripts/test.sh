#!/usr/bin/env bash
# Builds FarwenUpdater against Qt 5 and Qt 6 and runs the whole suite on both,
# the Windows platform layer included (MinGW-w64 build run under Wine).
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

# The test budget: tests with their support against the product, in lines
# that are neither blank nor comment-only.
lines() { find "$@" \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | grep -v -E '^\s*(//.*)?$' | wc -l; }
product=$(lines "$root/src" "$root/tools"); tests=$(lines "$root/tests")
echo "== Test lines $tests, product lines $product: $((100 * tests / product)) % (budget: at most 40 %)"
