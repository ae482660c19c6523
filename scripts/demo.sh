#!/usr/bin/env bash
# The updater's main job, for real, on this machine: a sandbox installation of
# the product (stand-in programs, running), a new version served over HTTP on
# 127.0.0.1, and FarwenUpdater updating it end to end: first with a full
# package, then with a delta made from the version it just installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_DEMO_PACKAGES[@]}"

build="$root/build/demo"
echo "Building..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFARWEN_BENCH=OFF -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target FarwenUpdater farwen-pack farwen_fixture_program farwen_http_serve >/dev/null
bin="$build/bin"

sandbox=$(mktemp -d /tmp/farwen-demo.XXXXXX)
app="$sandbox/Pellamo"
export FARWEN_FIXTURE_LOG="$sandbox/product-calls.log"
server_pid=""
logs="$build/demo-logs"
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  # Stop whatever product processes the demo left running.
  for name in Pellamo.exe KarvoDeskDaemon.exe KarvoDeskServer.exe; do "$bin/taskkill" /F /IM "$name" /T >/dev/null 2>&1 || true; done
  # The logs stay for a look; the sandbox and the publisher's secret key go.
  rm -rf "$logs" && mkdir -p "$logs"
  cp "$sandbox"/updater-*.log "$logs/" 2>/dev/null || true
  cp -r "$sandbox/programdata/FarwenUpdater/logs" "$sandbox/programdata/FarwenUpdater/last-result.json" "$logs/" 2>/dev/null || true
  rm -rf "$sandbox"
}
trap cleanup EXIT

# The installed product, version 1.0.0.
mkdir -p "$app/KarvoDeskServer" "$sandbox/programdata" "$sandbox/tmp"
install -m 755 "$bin/farwen_fixture_program" "$app/Pellamo.exe"
install -m 755 "$bin/farwen_fixture_program" "$app/KarvoDeskServer.exe"
install -m 755 "$bin/farwen_fixture_program" "$app/KarvoDeskServer/KarvoDeskDaemon.exe"
echo "1.0.0" > "$app/version.txt"; echo "1.0.0" > "$app/KarvoDeskServer/version.txt"
echo "user notes, kept across updates" > "$app/notes.txt"
printf '[App]\nVersion=1.0.0\n\n[Update]\nLastPromptTime=1700000000\nLastCheckTime=1700000000\n' > "$app/config.ini"
(cd "$app" && exec ./Pellamo.exe) & disown
(cd "$app/KarvoDeskServer" && exec ./KarvoDeskDaemon.exe run) & disown
(cd "$app" && exec ./KarvoDeskServer.exe) & disown
sleep 0.5
echo "Product running:"; "$bin/tasklist" /FI "IMAGENAME eq Pellamo.exe" | tail -n +4
"$bin/tasklist" /FI "IMAGENAME eq KarvoDeskDaemon.exe" | tail -n +4
"$bin/tasklist" /FI "IMAGENAME eq KarvoDeskServer.exe" | tail -n +4
snapshot() { (cd "$app" && find . -type f -exec md5sum {} + | sort -k 2); }
snapshot > "$sandbox/before.txt"

# The publisher's key pair; the public key installed beside the updater, as the
# product's installer would.
updater_dir="$sandbox/updater"
mkdir -p "$updater_dir"
cp "$bin/FarwenUpdater" "$bin/taskkill" "$bin/tasklist" "$updater_dir/"
minisign -G -W -p "$updater_dir/update-keys.pub" -s "$sandbox/publisher.key" >/dev/null

# Serves PACKAGE on 127.0.0.1, signed for VERSION, and runs the updater on it.
update() {
  local package=$1 version=$2 memo=$3
  minisign -S -s "$sandbox/publisher.key" -m "$package" -t "version=$version" >/dev/null
  echo "Package signed: $(sed -n 3p "$package.minisig")"
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; fi
  rm -f "$sandbox/url"
  "$bin/farwen_http_serve" "$package" > "$sandbox/url" 2>/dev/null & server_pid=$!
  for _ in $(seq 50); do [ -s "$sandbox/url" ] && break; sleep 0.1; done
  info="$sandbox/update_info.json"
  cat > "$info" <<JSON
{"app_path": "$app/Pellamo.exe", "new_version": "$version", "download_url": "$(cat "$sandbox/url")",
 "sha256": "$(sha256sum "$package" | cut -c1-64)", "memo": "$memo"}
JSON
  echo
  echo "Running: FarwenUpdater -i $info -m manual"
  local run=(env PROGRAMDATA="$sandbox/programdata" TMPDIR="$sandbox/tmp" "$updater_dir/FarwenUpdater" -i "$info" -m manual)
  set +e
  if [ -n "${DISPLAY:-}" ]; then "${run[@]}" 2> "$sandbox/updater-$version.log"
  else xvfb-run -a "${run[@]}" 2> "$sandbox/updater-$version.log"; fi
  code=$?
  set -e
  sleep 0.5
}

# Version 2.0.0 as a full package made by farwen-pack.
pkg="$sandbox/package"
mkdir -p "$pkg/KarvoDeskServer"
install -m 755 "$bin/farwen_fixture_program" "$pkg/Pellamo.exe"
echo "2.0.0" > "$pkg/version.txt"; echo "2.0.0" > "$pkg/KarvoDeskServer/version.txt"
head -c 200000 /dev/urandom > "$pkg/newfeature.dll"
"$bin/farwen-pack" full "$pkg" -o "$sandbox/update.zip" >/dev/null
update "$sandbox/update.zip" 2.0.0 "Version 2.0.0\\n- faster start\\n- new feature module"
echo
echo "== What changed"
echo "Exit code: $code"
snapshot > "$sandbox/after.txt"
echo "Files added (+), replaced (~) or removed (-):"
join -1 2 -2 2 -a 1 -a 2 -e none -o 0,1.1,2.1 "$sandbox/before.txt" "$sandbox/after.txt" |
  awk '$2=="none"{print "  + "$1; next} $3=="none"{print "  - "$1; next} $2!=$3{print "  ~ "$1}'
echo "config.ini:"; sed 's/^/  /' "$app/config.ini"
echo "Product programs called (from their own log):"; sed 's/^/  /' "$FARWEN_FIXTURE_LOG"
echo "Product processes now:"
for name in Pellamo.exe KarvoDeskDaemon.exe KarvoDeskServer.exe; do
  "$bin/tasklist" /FI "IMAGENAME eq $name" | tail -n +4 | sed 's/^/  /'
done
echo "Update-info file: $([ -e "$info" ] && echo still there || echo consumed)"
echo "Work directories left: $(ls -d "$sandbox"/programdata/KarvoUpdate_* 2>/dev/null | wc -l), backups left: $(ls -d "$app"/_update_backup_* 2>/dev/null | wc -l)"
echo "Signature: $(grep -o '已安装发布者公钥.*\|文件验证成功\|文件验证失败.*' "$sandbox/updater-2.0.0.log" | tr '\n' ' ')"

# Version 3.0.0 as a delta from the version just installed: only what changed travels.
next="$sandbox/package-3"
cp -a "$pkg" "$next"
echo "3.0.0" > "$next/version.txt"
printf 'patched' | dd of="$next/newfeature.dll" bs=1 seek=1000 conv=notrunc status=none
"$bin/farwen-pack" delta "$pkg" "$next" -o "$sandbox/delta.zip" --full "$sandbox/update.zip" >/dev/null
update "$sandbox/delta.zip" 3.0.0 "Version 3.0.0"
echo
echo "== The delta"
echo "Exit code: $code; full package $(stat -c %s "$sandbox/update.zip") bytes, delta $(stat -c %s "$sandbox/delta.zip") bytes"
echo "version.txt: $(cat "$app/version.txt"), config.ini: $(grep '^Version=' "$app/config.ini")"
echo "Rebuilt: $(grep -o '差分包已重建.*' "$sandbox/updater-3.0.0.log")"
echo "The logs: $logs"
