#!/usr/bin/env bash
# A whole update of an installation of FILES files / MIB MiB through the real
# FarwenUpdater binary: the time of each phase with the behaviour's fixed waits
# subtracted, beside curl, cp -a and bsdtar on the same data; then the same
# update in-process with a timer sampling the GUI thread for stalls.
# Usage: bench/update.sh [FILES] [MIB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"
files=${1:-10000}; mib=${2:-500}
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target FarwenUpdater farwen_fixture_program farwen_http_serve \
  bench_update_gui_stall >/dev/null
bin="$build/bin"

# tmpfs by default: the disk's write-back makes timings swing several-fold
work=$(mktemp -d "${BENCH_DIR:-/dev/shm}/farwen-bench.XXXXXX")
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  for n in Pellamo.exe KarvoDeskDaemon.exe KarvoDeskServer.exe; do "$bin/taskkill" /F /IM "$n" /T >/dev/null 2>&1 || true; done
  rm -rf "$work"
}
trap cleanup EXIT
app="$work/app"; pkg="$work/pkg"
python3 "$root/bench/make-tree.py" "$pkg" "$files" "$mib"
install -D -m 755 "$bin/farwen_fixture_program" "$pkg/Pellamo.exe"
install -D -m 755 "$bin/farwen_fixture_program" "$pkg/KarvoDeskServer.exe"
install -D -m 755 "$bin/farwen_fixture_program" "$pkg/KarvoDeskServer/KarvoDeskDaemon.exe"
echo 2.0.0 > "$pkg/version.txt"
(cd "$pkg" && bsdtar --format=zip --options zip:compression=store -cf "$work/update.zip" .)
cp -a "$pkg" "$app"; echo 1.0.0 > "$app/version.txt"
printf '[App]\nVersion=1.0.0\n' > "$app/config.ini"
mkdir -p "$work/pd" "$work/tmp"
export FARWEN_FIXTURE_LOG="$work/calls.log"
"$bin/farwen_http_serve" "$work/update.zip" > "$work/url" & server=$!
for _ in $(seq 50); do [ -s "$work/url" ] && break; sleep 0.1; done
url=$(cat "$work/url")
cat > "$work/info.template" <<JSON
{"app_path": "$app/Pellamo.exe", "new_version": "2.0.0", "download_url": "$url"}
JSON
start_product() {
  (cd "$app" && exec ./Pellamo.exe) & disown
  (cd "$app/KarvoDeskServer" && exec ./KarvoDeskDaemon.exe run) & disown
  (cd "$app" && exec ./KarvoDeskServer.exe) & disown
  sleep 0.3
}
# Memory first written past what was in use before costs several times more on
# this virtual machine: touch enough of it once, so the updater and the
# baselines find the same.
head -c $((mib * 8))M /dev/zero > "$work/warm" && rm -f "$work/warm"
echo "installation: $files files, $mib MiB; package $(du -m "$work/update.zip" | cut -f1) MiB (stored)"

start_product
cp "$work/info.template" "$work/info.json"
PROGRAMDATA="$work/pd" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen QT_MESSAGE_PATTERN='%{time process} %{message}' \
  "$bin/FarwenUpdater" -i "$work/info.json" -m manual 2> "$work/updater.log"

# Baselines on the same data, the better of two runs each, while the downloaded
# package is held as during the update.
cp "$work/update.zip" "$work/held.zip"
base() { /usr/bin/time -f "%e" "$@" 2>&1 >/dev/null | tail -1; }
min() { awk -v a="$1" -v b="$2" 'BEGIN{print (a<b)?a:b}'; }
curl_s=9999; cp_s=9999; tar_s=9999; read_s=9999
for _ in 1 2; do
  read_s=$(min "$read_s" "$(base sh -c "bsdtar -xOf '$work/update.zip' > /dev/null")")
  curl_s=$(min "$curl_s" "$(base curl -s -o "$work/curl.zip" "$url")"); rm -f "$work/curl.zip"
  cp_s=$(min "$cp_s" "$(base cp -a "$app" "$work/copy")"); rm -rf "$work/copy"
  cp -a "$app" "$work/x"
  tar_s=$(min "$tar_s" "$(base bsdtar -xf "$work/update.zip" -C "$work/x")"); rm -rf "$work/x"
done

rm -f "$work/held.zip"
restart_ms=$(awk '/KarvoDeskDaemon.exe args=\[install\]/{split($NF,a,"=");i=a[2]} /Pellamo.exe args=\[\]/{split($NF,a,"=");m=a[2]} END{print m-i}' "$FARWEN_FIXTURE_LOG")
awk -v curl="$curl_s" -v cp="$cp_s" -v tar="$tar_s" -v rd="$read_s" -v restart="$restart_ms" '
  function t(){ return $1+0 }
  /程序大小:/ && !d0 {d0=t()} /文件校验:/ {k0=t()} /文件验证成功/ {d1=t()}
  /=== 开始关闭相关进程 ===/ {s0=t()} /服务停止命令完成/ {stopEnd=t()} /停止守护进程服务/ {stopStart=t()} /关闭进程完成/ {s1=t()}
  /创建备份到:/ {b0=t()} /备份完成，成功率/ {b1=t()}
  /=== 开始解压更新包 ===/ {x0=t()} /解压结果:/ {x1=t()}
  /开始更新配置文件:/ {c0=t()} /  新版本:/ {c1=t()}
  END {
    # Fixed waits: 1 s after the stop command, 1 s after each of three kills, 2 s at the end;
    # six 80 ms progress pauses while unpacking; 1 s + 2 s between the daemon steps.
    shutdown = (s1-s0) - 6.0
    printf "%-10s %8s %10s %8s\n", "phase", "seconds", "baseline", "ratio"
    printf "%-10s %8.2f %10s %8.2f\n", "download", k0-d0, "curl " curl, (k0-d0)/curl
    printf "%-10s %8.2f %10s %8.2f\n", "check", d1-k0, "bsdtar-xO " rd, (d1-k0)/rd
    printf "%-10s %8.2f %10s %8s\n", "shutdown", shutdown, "-", "-"
    printf "%-10s %8.2f %10s %8.2f\n", "backup", b1-b0, "cp-a " cp, (b1-b0)/cp
    printf "%-10s %8.2f %10s %8.2f\n", "unpack", (x1-x0)-0.48, "bsdtar " tar, ((x1-x0)-0.48)/tar
    printf "%-10s %8.3f %10s %8s\n", "config", c1-c0, "-", "-"
    printf "%-10s %8.3f %10s %8s\n", "restart", restart/1000-3.0, "-", "-"
  }' "$work/updater.log"

# The same update again, in-process, sampling the GUI thread.
start_product
cp "$work/info.template" "$work/info.json"
PROGRAMDATA="$work/pd" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen \
  "$bin/bench_update_gui_stall" -i "$work/info.json" > "$work/stall.txt" 2>/dev/null || true
echo "longest GUI-thread stall over the whole run: $(tail -1 "$work/stall.txt")"
