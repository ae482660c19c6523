#!/usr/bin/env bash
# The updater's main job, for real, on this machine: a sandbox installation of
# the product (stand-in programs, running), a new version served over HTTP on
# 127.0.0.1, and FarwenUpdater updating it end to end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"

build="$root/build/demo"
echo "Building..."
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFARWEN_BENCH=OFF -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target FarwenUpdater farwen_fixture_program farwen_http_serve >/dev/null
bin="$build/bin"

sandbox=$(mktemp -d /tmp/farwen-demo.XXXXXX)
app="$sandbox/Pellamo"
export FARWEN_FIXTURE_LOG="$sandbox/product-calls.log"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  # Stop whatever product processes the demo left running.
  for name in Pellamo.exe KarvoDeskDaemon.exe KarvoDeskServer.exe; do "$bin/taskkill" /F /IM "$name" /T >/dev/null 2>&1 || true; done
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

# Version 2.0.0 as a ZIP package, served on 127.0.0.1.
pkg="$sandbox/package"
mkdir -p "$pkg/KarvoDeskServer"
install -m 755 "$bin/farwen_fixture_program" "$pkg/Pellamo.exe"
echo "2.0.0" > "$pkg/version.txt"; echo "2.0.0" > "$pkg/KarvoDeskServer/version.txt"
head -c 200000 /dev/urandom > "$pkg/newfeature.dll"
(cd "$pkg" && bsdtar --format=zip -cf "$sandbox/update.zip" .)
# Signed by the publisher: a key pair, the public key installed beside the
# updater (as the product's installer would), the signature beside the package.
updater_dir="$sandbox/updater"
mkdir -p "$updater_dir"
cp "$bin/FarwenUpdater" "$bin/taskkill" "$bin/tasklist" "$updater_dir/"
minisign -G -W -p "$updater_dir/update-keys.pub" -s "$sandbox/publisher.key" >/dev/null
minisign -S -s "$sandbox/publisher.key" -m "$sandbox/update.zip" -t "version=2.0.0" >/dev/null
echo "Package signed: $(sed -n 3p "$sandbox/update.zip.minisig")"
"$bin/farwen_http_serve" "$sandbox/update.zip" > "$sandbox/url" & server_pid=$!
for _ in $(seq 50); do [ -s "$sandbox/url" ] && break; sleep 0.1; done

info="$sandbox/update_info.json"
mkdir -p "$sandbox/update_info"
cat > "$info" <<JSON
{"app_path": "$app/Pellamo.exe", "new_version": "2.0.0", "download_url": "$(cat "$sandbox/url")",
 "memo": "Version 2.0.0\\n- faster start\\n- new feature module"}
JSON

echo
echo "Running: FarwenUpdater -i $info -m manual"
run=(env PROGRAMDATA="$sandbox/programdata" TMPDIR="$sandbox/tmp" "$updater_dir/FarwenUpdater" -i "$info" -m manual)
set +e
if [ -n "${DISPLAY:-}" ]; then "${run[@]}" 2> "$sandbox/updater.log"
else xvfb-run -a "${run[@]}" 2> "$sandbox/updater.log"; fi
code=$?
set -e
sleep 0.5

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
echo "Signature: $(grep -o '已安装发布者公钥.*\|文件验证成功\|文件验证失败.*' "$sandbox/updater.log" | tr '\n' ' ')"
echo "The updater's log: $sandbox/updater.log"
