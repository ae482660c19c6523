#!/usr/bin/env bash
# Runs the updater on a sandbox installation on this machine and shows what it did.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"

build="$root/build/demo"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFARWEN_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

sandbox=$(mktemp -d /tmp/farwen-demo.XXXXXX)
install="$sandbox/Pellamo"
mkdir -p "$install/KarvoDeskServer" "$sandbox/programdata" "$sandbox/tmp"
printf '#!/bin/sh\nexit 0\n' > "$install/Pellamo.exe"; chmod +x "$install/Pellamo.exe"
printf '[App]\nVersion=1.0.0\n' > "$install/config.ini"
info="$sandbox/update_info.json"
mkdir -p "$sandbox/update_info"   # companion directory the product leaves beside the file
cat > "$info" <<JSON
{"app_path": "$install/Pellamo.exe", "new_version": "2.0.0",
 "download_url": "http://127.0.0.1:9/update.zip", "memo": "Demo release"}
JSON

echo "Sandbox installation: $install"
echo "Running: FarwenUpdater -i $info -m manual"
set +e
PROGRAMDATA="$sandbox/programdata" TMPDIR="$sandbox/tmp" QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
  "$build/bin/FarwenUpdater" -i "$info" -m manual
code=$?
set -e
echo "Exit code: $code"
[ -e "$info" ] && echo "Update-info file: still there" || echo "Update-info file: consumed (deleted)"
[ -d "$sandbox/update_info" ] && echo "Companion directory: still there" || echo "Companion directory: removed"
echo "This stage of the updater checks its inputs and starts up; download and installation are not built yet."
