#!/usr/bin/env bash
# Delta against full packages on about 500 MiB of the machine's real shared
# libraries, a new version with about 2 % of the bytes changed across 100
# files, 3 added and 3 deleted: package sizes, farwen-pack times, zstd
# --patch-from on the same files, and whole updates through the binary with
# each package (the updater's fixed pauses subtracted).
# Usage: bench/delta.sh   (BENCH_DIR picks the file system, default tmpfs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}" zstd
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target FarwenUpdater farwen-pack farwen_fixture_program farwen_http_serve >/dev/null
bin="$build/bin"
work=$(mktemp -d "${BENCH_DIR:-/dev/shm}/farwen-delta.XXXXXX")
server=""
stop_product() {
  for n in Pellamo.exe KarvoDeskDaemon.exe KarvoDeskServer.exe; do "$bin/taskkill" /F /IM "$n" /T >/dev/null 2>&1 || true; done
}
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; stop_product; rm -rf "$work"' EXIT
export FARWEN_FIXTURE_LOG="$work/calls.log"
secs() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.3f", (b-a)/1e9}'; }

old="$work/old" new="$work/new"
mkdir -p "$old/lib" "$old/KarvoDeskServer"
total=0
while read -r f; do
  [ "$total" -ge $((500 * 1024 * 1024)) ] && break
  cp "$f" "$old/lib/$(echo "${f#/}" | tr / _)"; total=$((total + $(stat -c %s "$f")))
done < <(find /usr/lib -name '*.so*' -type f -size +16k -printf '%s %p\n' 2>/dev/null | sort -n | cut -d' ' -f2-)
install -m 755 "$bin/farwen_fixture_program" "$old/Pellamo.exe"
install -m 755 "$bin/farwen_fixture_program" "$old/KarvoDeskServer.exe"
install -m 755 "$bin/farwen_fixture_program" "$old/KarvoDeskServer/KarvoDeskDaemon.exe"
echo 1.0.0 > "$old/version.txt"; printf '[App]\nVersion=1.0.0\n' > "$old/config.ini"
cp -a "$old" "$new"; echo 2.0.0 > "$new/version.txt"
# As a rebuild changes a library: code moved about and a little new in 8
# places of each changed file, 2 % of all bytes in all.
python3 - "$new/lib" > "$work/changed" <<'PY'
import os, random, sys
random.seed(7)
d = sys.argv[1]; files = sorted(os.listdir(d)); total = sum(os.path.getsize(os.path.join(d, f)) for f in files)
for f in random.sample(files[3:], 100):
    p = os.path.join(d, f); data = bytearray(open(p, 'rb').read())
    n = max(64, int(min(total * 0.02 / 100, len(data) / 4)) // 8)
    for _ in range(8):
        src, dst = random.randrange(len(data) - n), random.randrange(len(data) - n)
        data[dst:dst + n] = data[src:src + n]
        data[dst:dst] = os.urandom(64)
    open(p, 'wb').write(data); print(f)
for f in files[:3]: os.remove(os.path.join(d, f))
for i in range(3): open(os.path.join(d, 'added%d.so' % i), 'wb').write(os.urandom(50000))
PY
echo "installation: $(du -sm "$old" | cut -f1) MiB in $(find "$old" -type f | wc -l) files; 100 changed, 3 added, 3 deleted"

t0=$(date +%s%N); "$bin/farwen-pack" full "$new" -o "$work/full.zip" >/dev/null; t1=$(date +%s%N)
"$bin/farwen-pack" delta "$old" "$new" -o "$work/delta.zip" >/dev/null; t2=$(date +%s%N)
zsize=0
while read -r f; do
  zstd -q -19 --long=31 --patch-from="$old/lib/$f" "$new/lib/$f" -o "$work/p.zst" 2>/dev/null; zsize=$((zsize + $(stat -c %s "$work/p.zst"))); rm "$work/p.zst"
done < "$work/changed"; t3=$(date +%s%N)
printf '%-34s %12s %10s\n' "" "bytes" "seconds"
printf '%-34s %12s %10s\n' "farwen-pack full" "$(stat -c %s "$work/full.zip")" "$(secs "$t0" "$t1")"
printf '%-34s %12s %10s\n' "farwen-pack delta" "$(stat -c %s "$work/delta.zip")" "$(secs "$t1" "$t2")"
printf '%-34s %12s %10s\n' "zstd --patch-from (changed files)" "$zsize" "$(secs "$t2" "$t3")"

# A whole update with each package, from a fresh copy of the old version.
update() {
  local app="$work/app"; rm -rf "$app" "$work/pd" "$work/tmp"; mkdir -p "$work/pd" "$work/tmp"; cp -a "$old" "$app"
  (cd "$app" && exec ./Pellamo.exe) & disown; (cd "$app/KarvoDeskServer" && exec ./KarvoDeskDaemon.exe run) & disown
  sleep 0.3
  "$bin/farwen_http_serve" "$1" > "$work/url" 2>/dev/null & server=$!
  for _ in $(seq 50); do [ -s "$work/url" ] && break; sleep 0.1; done
  echo "{\"app_path\": \"$app/Pellamo.exe\", \"new_version\": \"2.0.0\", \"download_url\": \"$(cat "$work/url")\"}" > "$work/info.json"
  PROGRAMDATA="$work/pd" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen QT_MESSAGE_PATTERN='%{time process} %{message}' \
    "$bin/FarwenUpdater" -i "$work/info.json" -m manual 2> "$work/updater.log"
  kill "$server"; wait "$server" 2>/dev/null || true; server=""; stop_product
  # Every file of the new version (a full package deletes nothing).
  if diff -rq -x config.ini "$app" "$new" | grep -v "^Only in $app"; then echo "update with $1 did not give the new version" >&2; exit 1; fi
  # To the last clean-up; fixed pauses: 0.1 s to start, 6 s of the shutdown, 1 s after it, 0.3 s before the install.
  awk '/清理备份目录:/ {t = $1} END {printf "%.3f", t - 7.4}' "$work/updater.log"
}
full=$(update "$work/full.zip"); delta=$(update "$work/delta.zip")
printf '%-34s %10s s\n%-34s %10s s   (%.2f of the full)\n' "update with the full package" "$full" \
  "update with the delta" "$delta" "$(awk -v a="$delta" -v b="$full" 'BEGIN{print a/b}')"
