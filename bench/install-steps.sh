#!/usr/bin/env bash
# Backup, restore and extraction of an installation of FILES files / MIB MiB, each made
# durable as the updater makes it, beside cp -a && sync, rsync -a over a stale copy && sync,
# and bsdtar -xf && sync of the same data. On disk (BENCH_DIR, default /var/tmp).
# Usage: bench/install-steps.sh [FILES] [MIB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"
files=${1:-10000}; mib=${2:-500}
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_install_steps >/dev/null

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/farwen-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 "$root/bench/make-tree.py" "$work/app" "$files" "$mib"
echo main > "$work/app/Pellamo.exe"
(cd "$work/app" && bsdtar --format=zip --options zip:compression=store -cf "$work/package.zip" .)
mkdir -p "$work/pd"
echo "installation: $files files, $mib MiB; package $(du -m "$work/package.zip" | cut -f1) MiB (stored)"

engine_steps() {
  sync
  PROGRAMDATA="$work/pd" "$build/bin/bench_install_steps" "$work/app" "$work/package.zip" >> "$work/steps.txt"
}
baselines() {
  sync
  /usr/bin/time -a -o "$work/steps.txt" -f "cp_a_seconds %e" sh -c "cp -a '$work/app' '$work/copy' && sync"
  # The restore puts a stale copy back: rsync of the installation over one.
  find "$work/copy" -type f -name '*1.*' -exec sh -c 'echo stale > "$1"' _ {} \; ; sync
  /usr/bin/time -a -o "$work/steps.txt" -f "rsync_seconds %e" sh -c "rsync -a '$work/app/' '$work/copy/' && sync"
  rm -rf "$work/copy"
  cp -a "$work/app" "$work/x"; sync   # unpack over an installation, as the updater does
  /usr/bin/time -a -o "$work/steps.txt" -f "bsdtar_seconds %e" sh -c "bsdtar -xf '$work/package.zip' -C '$work/x' && sync"
  rm -rf "$work/x"
}
# Memory first written after a while costs more on this virtual machine than memory just
# freed: alternate who goes first so that neither side always pays it.
for round in 1 2 3 4; do
  if [ $((round % 2)) = 1 ]; then engine_steps; baselines; else baselines; engine_steps; fi
done
cat "$work/steps.txt" >&2
awk 'function best(k,v){ if(!(k in m)||v<m[k]) m[k]=v }
  {best($1,$2)} END{
  printf "best of 4 (s): createBackup %.2f, restoreBackup %.2f, extractPackage %.2f, cp -a+sync %.2f, rsync+sync %.2f, bsdtar -xf+sync %.2f\n",
    m["createBackup_seconds"], m["restoreBackup_seconds"], m["extractPackage_seconds"], m["cp_a_seconds"], m["rsync_seconds"], m["bsdtar_seconds"]
  printf "backup %.2fx cp -a+sync, restore %.2fx cp -a+sync (%.2fx rsync+sync), extract %.2fx bsdtar+sync\n",
    m["createBackup_seconds"]/m["cp_a_seconds"], m["restoreBackup_seconds"]/m["cp_a_seconds"],
    m["restoreBackup_seconds"]/m["rsync_seconds"], m["extractPackage_seconds"]/m["bsdtar_seconds"]}' "$work/steps.txt"
