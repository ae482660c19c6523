#!/usr/bin/env bash
# Backup, restore and extraction of an installation of FILES files / MIB MiB,
# beside cp -a and bsdtar -xf of the same data. Usage: bench/install-steps.sh [FILES] [MIB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"
files=${1:-10000}; mib=${2:-500}
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_install_steps >/dev/null

# tmpfs by default: the disk's write-back makes timings swing several-fold
work=$(mktemp -d "${BENCH_DIR:-/dev/shm}/farwen-bench.XXXXXX")
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
  /usr/bin/time -a -o "$work/steps.txt" -f "cp_a_seconds %e" cp -a "$work/app" "$work/copy"; rm -rf "$work/copy"
  # The restore deletes the installation's files before copying back: baseline for that too.
  cp -a "$work/app" "$work/copy"; sync
  /usr/bin/time -a -o "$work/steps.txt" -f "rm_cp_a_seconds %e" sh -c "find '$work/copy' -type f -delete && cp -a '$work/app/.' '$work/copy/'"
  rm -rf "$work/copy"
  cp -a "$work/app" "$work/x"; sync   # unpack over an installation, as the updater does
  /usr/bin/time -a -o "$work/steps.txt" -f "bsdtar_seconds %e" bsdtar -xf "$work/package.zip" -C "$work/x"
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
  printf "best of 4 (s): createBackup %.2f, restoreBackup %.2f, extractPackage %.2f, cp -a %.2f, bsdtar -xf %.2f\n",
    m["createBackup_seconds"], m["restoreBackup_seconds"], m["extractPackage_seconds"], m["cp_a_seconds"], m["bsdtar_seconds"]
  printf "backup %.2fx cp -a, restore %.2fx cp -a (%.2fx delete+cp -a), extract %.2fx bsdtar\n",
    m["createBackup_seconds"]/m["cp_a_seconds"], m["restoreBackup_seconds"]/m["cp_a_seconds"],
    m["restoreBackup_seconds"]/m["rm_cp_a_seconds"], m["extractPackage_seconds"]/m["bsdtar_seconds"]}' "$work/steps.txt"
