# Sourced by the end-to-end benchmarks: builds the updater, the publisher's
# tool and the stand-ins, and gives a work folder ($work) that goes, with the
# file server ($server) and the product's stand-ins, when the script ends.
# Usage: . bench/sandbox.sh NAME
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target FarwenUpdater farwen-pack farwen_fixture_program farwen_http_serve >/dev/null
bin="$build/bin"
work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/farwen-$1.XXXXXX")
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  for n in Pellamo.exe KarvoDeskDaemon.exe KarvoDeskServer.exe; do "$bin/taskkill" /F /IM "$n" /T >/dev/null 2>&1 || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export FARWEN_FIXTURE_LOG="$work/calls.log"
