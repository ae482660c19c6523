#!/usr/bin/env bash
# Delta against full packages on real release pairs: both versions of a set
# of Debian packages, taken from the archive with apt-get download (the
# oldest and the newest it offers). Reports package sizes and farwen-pack's
# time and peak memory beside per-file zstd --patch-from and bsdiff (added
# files zstd-compressed for both), then whole updates through the binary
# with each package, three of each and their median (the updater's fixed
# pauses subtracted), and the updater's peak memory.
# Usage: bench/delta.sh [libraries|pe]   (BENCH_DIR picks the file system, default tmpfs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}" zstd bsdiff dpkg
case "${1:-libraries}" in
  libraries) packages="libwebkit2gtk-4.1-0 libjavascriptcoregtk-4.1-0 libssl3 libc6 libglib2.0-0 libnss3 libxml2 libcurl4 libexpat1 libpython3.11 libtiff6 libmariadb3 libpq5" ;;
  pe) packages="grub-efi-amd64-signed grub-efi-amd64-bin shim-signed systemd-boot-efi" ;;
  *) echo "usage: bench/delta.sh [libraries|pe]" >&2; exit 2 ;;
esac
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
mkdir -p "$work/debs" "$old/lib" "$new/lib" "$old/KarvoDeskServer"
[ -n "$(apt-cache madison libc6 2>/dev/null)" ] || apt-get update -qq
for p in $packages; do
  versions=$(apt-cache madison "$p" | grep " Packages$" | awk '{print $3}' | sort -uV)
  first=$(head -1 <<<"$versions") last=$(tail -1 <<<"$versions")
  [ "$first" != "$last" ] || { echo "$p: one version in the archive, left out" >&2; continue; }
  for side in old new; do
    v=$first; [ $side = new ] && v=$last
    rm -rf "$work/x" && mkdir "$work/x"
    (cd "$work/debs" && rm -f ./*.deb && apt-get download -qq -o APT::Sandbox::User=root "$p=$v" && dpkg-deb -x ./*.deb "$work/x")
    # Regular files only: an installation holds no links.
    (cd "$work/x" && find . -type f -exec cp --parents {} "$work/$side/lib/" \;)
  done
  echo "$p: $first -> $last"
done
for tree in "$old" "$new"; do
  mkdir -p "$tree/KarvoDeskServer"
  install -m 755 "$bin/farwen_fixture_program" "$tree/Pellamo.exe"
  install -m 755 "$bin/farwen_fixture_program" "$tree/KarvoDeskServer.exe"
  install -m 755 "$bin/farwen_fixture_program" "$tree/KarvoDeskServer/KarvoDeskDaemon.exe"
  printf '[App]\nVersion=1.0.0\n' > "$tree/config.ini"
done
echo 1.0.0 > "$old/version.txt"; echo 2.0.0 > "$new/version.txt"
(cd "$new" && find lib -type f | sort) | while read -r f; do
  if [ ! -f "$old/$f" ]; then echo "add $f"; elif ! cmp -s "$old/$f" "$new/$f"; then echo "patch $f"; fi
done > "$work/changed"
echo "installation: $(du -sm "$old" | cut -f1) MiB in $(find "$old" -type f | wc -l) files; $(grep -c '^patch' "$work/changed") changed, $(grep -c '^add' "$work/changed") added" \
     "(largest changed: $(grep '^patch' "$work/changed" | cut -d' ' -f2- | while read -r f; do stat -c '%s' "$new/$f"; done | sort -n | tail -1) bytes)"

t0=$(date +%s%N); "$bin/farwen-pack" full "$new" -o "$work/full.zip" >/dev/null; t1=$(date +%s%N)
/usr/bin/time -f %M -o "$work/pack.kb" "$bin/farwen-pack" delta "$old" "$new" -o "$work/delta.zip" >/dev/null; t2=$(date +%s%N)
zsize=0 bsize=0
while read -r op f; do
  if [ "$op" = add ]; then
    zstd -q -19 "$new/$f" -o "$work/p"; zsize=$((zsize + $(stat -c %s "$work/p"))); bsize=$((bsize + $(stat -c %s "$work/p"))); rm "$work/p"; continue
  fi
  zstd -q -19 --long=31 --patch-from="$old/$f" "$new/$f" -o "$work/p" 2>/dev/null; zsize=$((zsize + $(stat -c %s "$work/p"))); rm "$work/p"
  bsdiff "$old/$f" "$new/$f" "$work/p"; bsize=$((bsize + $(stat -c %s "$work/p"))); rm "$work/p"
done < "$work/changed"; t3=$(date +%s%N)
printf '%-34s %12s %10s\n' "" "bytes" "seconds"
printf '%-34s %12s %10s\n' "farwen-pack full" "$(stat -c %s "$work/full.zip")" "$(secs "$t0" "$t1")"
printf '%-34s %12s %10s   (peak %s MiB)\n' "farwen-pack delta" "$(stat -c %s "$work/delta.zip")" "$(secs "$t1" "$t2")" "$(( $(cat "$work/pack.kb") / 1024 ))"
printf '%-34s %12s %10s\n' "zstd -19 --long --patch-from" "$zsize" "$(secs "$t2" "$t3")" "bsdiff per file" "$bsize" ""

# A whole update with each package, from a fresh copy of the old version.
update() {
  local app="$work/app"; rm -rf "$app" "$work/pd" "$work/tmp"; mkdir -p "$work/pd" "$work/tmp"; cp -a "$old" "$app"
  (cd "$app" && exec ./Pellamo.exe) & disown; (cd "$app/KarvoDeskServer" && exec ./KarvoDeskDaemon.exe run) & disown
  sleep 0.3
  "$bin/farwen_http_serve" "$1" > "$work/url" 2>/dev/null & server=$!
  for _ in $(seq 50); do [ -s "$work/url" ] && break; sleep 0.1; done
  echo "{\"app_path\": \"$app/Pellamo.exe\", \"new_version\": \"2.0.0\", \"download_url\": \"$(cat "$work/url")\"}" > "$work/info.json"
  PROGRAMDATA="$work/pd" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen QT_MESSAGE_PATTERN='%{time process} %{message}' \
    /usr/bin/time -f %M -o "$work/updater.kb" "$bin/FarwenUpdater" -i "$work/info.json" -m manual 2> "$work/updater.log"
  kill "$server"; wait "$server" 2>/dev/null || true; server=""; stop_product
  # Every file of the new version (a full package deletes nothing).
  if diff -rq -x config.ini "$app" "$new" | grep -v "^Only in $app"; then echo "update with $1 did not give the new version" >&2; exit 1; fi
  # To the last clean-up; fixed pauses: 0.1 s to start, 6 s of the shutdown, 1 s after it, 0.3 s before the install.
  awk '/清理备份目录:/ {t = $1} END {printf "%.3f", t - 7.4}' "$work/updater.log"; echo " $(( $(cat "$work/updater.kb") / 1024 ))"
}
# Three of each, alternating: a single run swings by a tenth. The median, the runs beside it.
fulls="" deltas=""
for _ in 1 2 3; do
  read -r t full_mib < <(update "$work/full.zip"); fulls="$fulls $t"
  read -r t delta_mib < <(update "$work/delta.zip"); deltas="$deltas $t"
done
median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | sed -n 2p; }
full=$(median "$fulls") delta=$(median "$deltas")
printf '%-34s %10s s   (updater peak %s MiB; runs%s)\n%-34s %10s s   (%.2f of the full; updater peak %s MiB; runs%s)\n' \
  "update with the full package" "$full" "$full_mib" "$fulls" \
  "update with the delta" "$delta" "$(awk -v a="$delta" -v b="$full" 'BEGIN{print a/b}')" "$delta_mib" "$deltas"
