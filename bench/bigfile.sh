#!/usr/bin/env bash
# A file larger than any in-memory buffer, end to end: farwen-pack packs it in
# a full and in a delta package, and the real FarwenUpdater installs each on a
# sandbox installation. Reports the peak memory (/usr/bin/time -v) of every
# step and checks the installed file byte for byte.
# Usage: bench/bigfile.sh [MIB]   (default 4096; BENCH_DIR picks the disk, default /var/tmp)
set -euo pipefail
mib=${1:-4096}
. "$(dirname "$0")/sandbox.sh" bigfile

peak() { # LABEL COMMAND...: runs it, prints its peak resident memory
  local label=$1; shift
  /usr/bin/time -v "$@" > "$work/out.txt" 2> "$work/time.txt" || { cat "$work/out.txt" "$work/time.txt" | tail -20; exit 1; }
  printf '%-34s peak %6d MiB, %5.1f s\n' "$label" $(( $(awk '/Maximum resident/{print $6}' "$work/time.txt") / 1024 )) \
    "$(awk -F': ' '/Elapsed/{n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$work/time.txt")"
}

# Version 1 and version 2 of the product: one big file, one byte apart.
for v in 1 2; do
  mkdir -p "$work/v$v"
  install -m 755 "$bin/farwen_fixture_program" "$work/v$v/Pellamo.exe"
  echo "$v.0.0" > "$work/v$v/version.txt"
done
echo "Writing a $mib MiB file..."
head -c $((mib << 20)) /dev/urandom > "$work/v1/big.dat"
cp "$work/v1/big.dat" "$work/v2/big.dat"
printf 'X' | dd of="$work/v2/big.dat" bs=1 seek=$(((mib << 20) / 2)) conv=notrunc status=none

peak "farwen-pack full" "$bin/farwen-pack" full "$work/v2" -o "$work/full.zip"
peak "farwen-pack delta" "$bin/farwen-pack" delta "$work/v1" "$work/v2" -o "$work/delta.zip"

for kind in full delta; do
  app="$work/app-$kind"
  rm -rf "$app" "$work/pd"
  cp -a "$work/v1" "$app"
  printf '[App]\nVersion=1.0.0\n' > "$app/config.ini"
  "$bin/farwen_http_serve" "$work/$kind.zip" > "$work/url" 2>/dev/null & server=$!
  for _ in $(seq 50); do [ -s "$work/url" ] && break; sleep 0.1; done
  printf '{"app_path": "%s", "new_version": "2.0.0", "download_url": "%s"}\n' "$app/Pellamo.exe" "$(cat "$work/url")" > "$work/info.json"
  peak "FarwenUpdater, $kind package" env PROGRAMDATA="$work/pd" TMPDIR="$work" QT_QPA_PLATFORM=offscreen \
    "$bin/FarwenUpdater" -i "$work/info.json" -m manual
  kill "$server"; server=""
  cmp "$app/big.dat" "$work/v2/big.dat" && grep -q 'Version=2.0.0' "$app/config.ini" \
    && echo "  installed byte for byte, config.ini says 2.0.0"
done
ls -l "$work/full.zip" "$work/delta.zip" | awk '{printf "  %s: %d MiB\n", $NF, $5 / 1048576}'
