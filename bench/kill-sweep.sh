#!/usr/bin/env bash
# Kills a real update at moments swept across its whole run (download, shutdown,
# backup, unpack, configuration, clean-up), runs "--recover" as the next boot
# would, and checks that the installation is exactly the old or exactly the new
# version, with config.ini saying the same.
# Usage: bench/kill-sweep.sh [KILLS]   (default 20)
set -euo pipefail
kills=${1:-20}
. "$(dirname "$0")/sandbox.sh" kill-sweep

# Version 1 and version 2: 200 files of 256 KiB, half of them changed, one added, one removed.
for v in 1 2; do
  mkdir -p "$work/v$v/KarvoDeskServer" "$work/v$v/lib"
  install -m 755 "$bin/farwen_fixture_program" "$work/v$v/Pellamo.exe"
  install -m 755 "$bin/farwen_fixture_program" "$work/v$v/KarvoDeskServer/KarvoDeskDaemon.exe"
  echo "$v.0.0" > "$work/v$v/version.txt"
  printf '[App]\nVersion=%s.0.0\n' "$v" > "$work/v$v/config.ini"
done
for i in $(seq 200); do head -c 262144 /dev/urandom > "$work/v1/lib/f$i.dat"; done
cp -a "$work/v1/lib/." "$work/v2/lib/"
for i in $(seq 1 2 200); do head -c 262144 /dev/urandom > "$work/v2/lib/f$i.dat"; done
rm "$work/v2/lib/f200.dat"; head -c 1000 /dev/urandom > "$work/v2/lib/new.dat"
cp "$work/v2/config.ini" "$work/v2.ini"; rm "$work/v2/config.ini" # the updater writes it
"$bin/farwen-pack" full "$work/v2" -o "$work/full.zip" >/dev/null
"$bin/farwen_http_serve" "$work/full.zip" > "$work/url" 2>/dev/null & server=$!
for _ in $(seq 50); do [ -s "$work/url" ] && break; sleep 0.1; done
state() { (cd "$1" && find . -type f ! -path './_update_backup_*' ! -name config.ini -exec md5sum {} + | sort -k 2 | md5sum | cut -c1-32); }
# A full package adds and replaces: the new version is the old one with the package over it.
cp -a "$work/v1" "$work/expected"; cp -a "$work/v2/." "$work/expected/"
old=$(state "$work/v1"); new=$(state "$work/expected")

declare -A seen
bad=0
for k in $(seq "$kills"); do
  app="$work/app"
  rm -rf "$app" "$work/pd"; cp -a "$work/v1" "$app"
  printf '{"app_path": "%s", "new_version": "2.0.0", "download_url": "%s"}\n' "$app/Pellamo.exe" "$(cat "$work/url")" > "$work/info.json"
  env PROGRAMDATA="$work/pd" TMPDIR="$work" QT_QPA_PLATFORM=offscreen "$bin/FarwenUpdater" -i "$work/info.json" -m manual 2> "$work/run.log" &
  pid=$!
  # A quarter of the kills in the download and the shutdown's waits, the rest
  # spread over backup, unpack, configuration and clean-up (7.5 to 9.5 s here).
  delay=$(awk -v k="$k" -v n="$kills" 'BEGIN{q = int(n / 4); printf "%.3f", k <= q ? 0.3 + 7.0 * (k - 1) / q : 7.5 + 2.0 * (k - q - 1) / (n - q)}')
  sleep "$delay"; kill -9 "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true
  phase=$(grep -o '"phase": "[a-z]*"' "$app"/_update_backup_*.journal 2>/dev/null | head -1 | cut -d'"' -f4 || true)
  env PROGRAMDATA="$work/pd" TMPDIR="$work" "$bin/FarwenUpdater" --recover "$app/Pellamo.exe" 2> "$work/recover.log" && code=0 || code=$?
  now=$(state "$app"); version=$(sed -n 's/^Version=//p' "$app/config.ini")
  if [ "$now" = "$old" ] && [ "$version" = 1.0.0 ]; then verdict=old
  elif [ "$now" = "$new" ] && [ "$version" = 2.0.0 ]; then verdict=new
  else verdict=MIXED; bad=$((bad + 1)); fi
  left=$(find "$app" -maxdepth 1 -name "_update_backup_*" | wc -l)
  seen["${phase:-none}"]=1
  printf 'kill %2d at %5.2f s  journal %-10s  --recover exit %d  tree %-5s  config %s  backups left %d\n' \
    "$k" "$delay" "${phase:-none}" "$code" "$verdict" "$version" "$left"
  "$bin/taskkill" /F /IM Pellamo.exe /T >/dev/null 2>&1 || true
  "$bin/taskkill" /F /IM KarvoDeskDaemon.exe /T >/dev/null 2>&1 || true
done
echo "phases hit: ${!seen[*]}; mixed trees: $bad of $kills"
[ "$bad" = 0 ]
