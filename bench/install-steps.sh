#!/usr/bin/env bash
# Backup, restore and extraction of installations of FILES files / MIB MiB, each made
# durable as the updater makes it, beside cp -a && sync, rsync -a over a stale copy && sync,
# and bsdtar -xf && sync of the same data, on disk (BENCH_DIR, default /var/tmp); then the
# GUI thread's longest stall in whole updates at STALL_AT (default 100000:1024; "" skips it).
# ROUNDS rounds a size (default 2), the best taken.
# Usage: bench/install-steps.sh [FILES:MIB ...]   (default 1000:50 10000:500 100000:1024 1:1024)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"
sizes=("$@"); [ ${#sizes[@]} = 0 ] && sizes=(1000:50 10000:500 100000:1024 1:1024)
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_install_steps >/dev/null

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/farwen-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
# This machine's ext4 has no journal, and such a file system skips every inode freed in the
# last 60 s when it makes a file, at a cost for each: what the previous round removed would
# slow the next one down. In an update nothing is removed before the backup, so each side
# starts quiet, after a copy of the package (the engine's own, the baselines' held.zip).
quiet=${QUIET:-65}
engine_steps() {
  sync
  QUIET=$quiet PROGRAMDATA="$work/pd" "$build/bin/bench_install_steps" "$work/app" "$work/package.zip" | sed "s|^|$size |" >> "$work/steps.txt"
}
timed() { /usr/bin/time -a -o "$work/steps.txt" -f "$size $1 %e" sh -c "$2"; }
baselines() {
  cp "$work/package.zip" "$work/held.zip"; sync; sleep "$quiet"
  timed cp_a "cp -a '$work/app' '$work/copy' && sync"
  # The restore puts a stale copy back: rsync of the installation over one.
  find "$work/copy" -type f -name '*1.*' -exec sh -c 'echo stale > "$1"' _ {} + ; sync
  timed rsync "rsync -a '$work/app/' '$work/copy/' && sync"
  rm -rf "$work/copy"
  cp -a "$work/app" "$work/x"; sync; sleep "$quiet"   # unpack over an installation, as the updater does
  timed bsdtar "bsdtar -xf '$work/package.zip' -C '$work/x' && sync"
  rm -rf "$work/x" "$work/held.zip"
}
for size in "${sizes[@]}"; do
  rm -rf "$work/app" "$work/pd" "$work/package.zip"; mkdir -p "$work/pd"
  python3 "$root/bench/make-tree.py" "$work/app" "${size%%:*}" "${size##*:}"
  echo main > "$work/app/Pellamo.exe"
  (cd "$work/app" && bsdtar --format=zip --options zip:compression=store -cf "$work/package.zip" .)
  echo "installation $size (files:MiB); package $(du -m "$work/package.zip" | cut -f1) MiB (stored)" >&2
  # Memory first written after a while costs more on this virtual machine than memory just
  # freed: alternate who goes first so that neither side always pays it.
  for round in $(seq "${ROUNDS:-2}"); do
    if [ $((round % 2)) = 1 ]; then engine_steps; baselines; else baselines; engine_steps; fi
  done
done
cat "$work/steps.txt" >&2
echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/{print $2}') GiB, $(df -T "$work" | awk 'NR==2{print $2}') at ${BENCH_DIR:-/var/tmp}; best of ${ROUNDS:-2}, seconds"
awk -v order="${sizes[*]}" '
  $4 == "FAILED" { failed[$1] = failed[$1] " " $2 }
  { k = $1 SUBSEP $2; if (!(k in m) || $3 < m[k]) m[k] = $3 }
  END {
    printf "%-12s %26s %26s %22s %26s\n", "files:MiB", "backup / cp -a+sync", "restore / cp -a+sync", "restore / rsync+sync", "unpack / bsdtar -xf+sync"
    n = split(order, s, " ")
    for (i = 1; i <= n; i++) {
      k = s[i]; cp = m[k, "cp_a"]; rs = m[k, "rsync"]; bt = m[k, "bsdtar"]
      b = m[k, "createBackup_seconds"]; r = m[k, "restoreBackup_seconds"]; x = m[k, "extractPackage_seconds"]
      printf "%-12s %26s %26s %22s %26s%s\n", k, sprintf("%.2f / %.2f = %.2fx", b, cp, b / cp), sprintf("%.2f / %.2f = %.2fx", r, cp, r / cp),
        sprintf("%.2fx", r / rs), sprintf("%.2f / %.2f = %.2fx", x, bt, x / bt), (k in failed ? "  FAILED:" failed[k] : "")
    }
  }' "$work/steps.txt"
rm -rf "$work/app" "$work/package.zip"
stall=${STALL_AT-100000:1024}
if [ -n "$stall" ]; then
  ROUNDS=1 BENCH_DIR="${BENCH_DIR:-/var/tmp}" bash "$root/bench/update.sh" "$stall" | grep -E "^machine|^GUI (stall|start)"
fi
