#!/usr/bin/env bash
# Whole updates through the real FarwenUpdater binary, at several installation
# sizes: the time of each phase with the behaviour's fixed waits subtracted,
# beside curl, cp -a and bsdtar on the same data; then the same update
# in-process with a timer sampling the GUI thread for stalls.
# ROUNDS updates a size (default 3), alternated with the baselines; the best
# of each is taken. BENCH_DIR picks the file system (default tmpfs); RATE_MBIT
# paces the server as a network line (default: the loopback's full speed).
# STALL_LOG=FILE keeps the sampled run's log (QT_MESSAGE_PATTERN='%{time process} %{message}' dates it).
# Usage: bench/update.sh [FILES:MIB ...]   (default 1000:50 10000:500 100000:2048)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"
sizes=("$@"); [ ${#sizes[@]} = 0 ] && sizes=(1000:50 10000:500 100000:2048)
rounds=${ROUNDS:-3}
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target FarwenUpdater farwen_fixture_program farwen_http_serve \
  bench_update_gui_stall >/dev/null
bin="$build/bin"

# tmpfs by default: the disk's write-back makes timings swing several-fold
work=$(mktemp -d "${BENCH_DIR:-/dev/shm}/farwen-bench.XXXXXX")
results=$(mktemp)
server=""
stop_product() {
  for n in Pellamo.exe KarvoDeskDaemon.exe KarvoDeskServer.exe; do "$bin/taskkill" /F /IM "$n" /T >/dev/null 2>&1 || true; done
}
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  stop_product
  rm -rf "$work" "$results"
}
trap cleanup EXIT
export FARWEN_FIXTURE_LOG="$work/calls.log"
app="$work/app"

start_product() {
  (cd "$app" && exec ./Pellamo.exe) & disown
  (cd "$app/KarvoDeskServer" && exec ./KarvoDeskDaemon.exe run) & disown
  (cd "$app" && exec ./KarvoDeskServer.exe) & disown
  sleep 0.3
}
# Back to the old version; the files already equal the package's.
downgrade() {
  echo 1.0.0 > "$app/version.txt"
  printf '[App]\nVersion=1.0.0\n' > "$app/config.ini"
  cat > "$work/info.json" <<JSON
{"app_path": "$app/Pellamo.exe", "new_version": "2.0.0", "download_url": "$url"}
JSON
}
# The publisher's key beside a copy of the updater: that copy requires signatures.
signed_bin="$work/signed-bin"
mkdir -p "$signed_bin"; cp "$bin/FarwenUpdater" "$bin/taskkill" "$bin/tasklist" "$signed_bin/"
minisign -G -W -p "$signed_bin/update-keys.pub" -s "$work/k.key" > /dev/null
updater() { # [BIN_DIR]: the signed copy times download and check only
  local dir=${1:-$bin}
  downgrade; start_product; : > "$FARWEN_FIXTURE_LOG"
  PROGRAMDATA="$work/pd" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen QT_MESSAGE_PATTERN='%{time process} %{message}' \
    "$dir/FarwenUpdater" -i "$work/info.json" -m manual 2> "$work/updater.log"
  grep -q "最终结果= true" "$work/updater.log" || { echo "update failed:" >&2; tail "$work/updater.log" >&2; exit 1; }
  restart_ms=$(awk '/KarvoDeskDaemon.exe args=\[install\]/{split($NF,a,"=");i=a[2]} /Pellamo.exe args=\[\]/{split($NF,a,"=");m=a[2]} END{print m-i}' "$FARWEN_FIXTURE_LOG")
  # Fixed waits: 1 s after the stop command, 1 s after each of three kills, 2 s at the end;
  # 1 s + 2 s between the daemon steps.
  local signed; signed=$([ "$dir" = "$signed_bin" ] && echo signed || echo unsigned)
  awk -v size="$size" -v restart="$restart_ms" -v signed="$signed" '
    function t(){ return $1+0 }
    /程序大小:/ && !d0 {d0=t()} /文件校验:/ {k0=t()} /文件验证成功/ {d1=t()}
    /=== 开始关闭相关进程 ===/ {s0=t()} /关闭进程完成/ {s1=t()}
    /创建备份到:/ {b0=t()} /备份完成，成功率/ {b1=t()}
    /=== 开始解压更新包 ===/ {x0=t()} /解压结果:/ {x1=t()}
    /开始更新配置文件:/ {c0=t()} /  新版本:/ {c1=t()}
    END { printf "%s %s %.3f\n", size, signed, d1-d0; if (signed == "signed") exit
          printf "%s download %.3f\n%s check %.3f\n%s shutdown %.3f\n%s backup %.3f\n%s unpack %.3f\n%s config %.3f\n%s restart %.3f\n",
            size, k0-d0, size, d1-k0, size, (s1-s0)-6.0, size, b1-b0, size, (x1-x0), size, c1-c0, size, restart/1000-3.0 }
  ' "$work/updater.log" >> "$results"
}
# A baseline's wall time in seconds, to the millisecond.
# An update whose unpack fails (a directory stands where the package has a
# file), timed to the end of the restore; the updater then waits for the user.
failing_update() {
  downgrade; start_product
  rm -f "$app/version.txt"; mkdir -p "$app/version.txt/in-the-way"
  PROGRAMDATA="$work/pd" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen QT_MESSAGE_PATTERN='%{time process} %{message}' \
    "$bin/FarwenUpdater" -i "$work/info.json" -m manual 2> "$work/failing.log" & local pid=$!
  for _ in $(seq 1200); do grep -q "恢复完成" "$work/failing.log" && break; sleep 0.1; done
  kill "$pid"; wait "$pid" || true
  grep -qE "恢复完成: 成功 ([0-9]+) / \1$" "$work/failing.log" || { echo "restore failed:" >&2; tail "$work/failing.log" >&2; exit 1; }
  awk -v size="$size" '/=== 开始恢复备份 ===/ {r0=$1} /恢复完成/ {r1=$1} END {printf "%s restore %.3f\n", size, r1-r0}' "$work/failing.log" >> "$results"
  rm -rf "$app/version.txt"
}
base() {
  local t0 t1; t0=$(date +%s%N); "${@:2}" > /dev/null; t1=$(date +%s%N)
  printf '%s %s %s\n' "$size" "$1" "$(awk -v a="$t0" -v b="$t1" 'BEGIN{print (b-a)/1e9}')" >> "$results"
}
baselines() {
  cp "$work/update.zip" "$work/held.zip" # the downloaded package is held during the update too
  base curl curl -s -o "$work/curl.zip" "$url"; rm -f "$work/curl.zip"
  base read sh -c "bsdtar -xOf '$work/update.zip' > /dev/null"
  base cp cp -a "$app" "$work/copy"; rm -rf "$work/copy"
  cp -a "$app" "$work/x"
  base tar bsdtar -xf "$work/update.zip" -C "$work/x"; rm -rf "$work/x" "$work/held.zip"
  # A restore deletes the installation's files before it copies the backup back.
  cp -a "$app" "$work/x"
  base rmcp sh -c "find '$work/x' -type f -delete && cp -a '$app/.' '$work/x/'"; rm -rf "$work/x"
}

for entry in "${sizes[@]}"; do
  files=${entry%%:*}; mib=${entry##*:}; size="${files}/${mib}MiB"
  rm -rf "$app" "$work/pd" "$work/tmp"; mkdir -p "$work/pd" "$work/tmp"
  python3 "$root/bench/make-tree.py" "$app" "$files" "$mib"
  install -D -m 755 "$bin/farwen_fixture_program" "$app/Pellamo.exe"
  install -D -m 755 "$bin/farwen_fixture_program" "$app/KarvoDeskServer.exe"
  install -D -m 755 "$bin/farwen_fixture_program" "$app/KarvoDeskServer/KarvoDeskDaemon.exe"
  echo 2.0.0 > "$app/version.txt"
  (cd "$app" && bsdtar --format=zip --options zip:compression=store -cf "$work/update.zip" .)
  minisign -S -s "$work/k.key" -m "$work/update.zip" -t "version=2.0.0" > /dev/null
  FARWEN_SERVE_RATE=$(( ${RATE_MBIT:-0} * 125000 )) "$bin/farwen_http_serve" "$work/update.zip" > "$work/url" & server=$!
  for _ in $(seq 50); do [ -s "$work/url" ] && break; sleep 0.1; done
  url=$(cat "$work/url")
  # Memory first written past what was in use before costs several times more on
  # this virtual machine: touch enough of it once, so both sides find the same.
  head -c $(( (mib * 6 < 8192 ? mib * 6 : 8192) ))M /dev/zero > "$work/warm" && rm -f "$work/warm"
  echo "installation $size: package $(du -m "$work/update.zip" | cut -f1) MiB (stored), $rounds rounds" >&2
  for r in $(seq "$rounds"); do
    if [ $((r % 2)) = 1 ]; then updater; updater "$signed_bin"; failing_update; baselines
    else baselines; failing_update; updater "$signed_bin"; updater; fi
    # The same update again, in-process, sampling the GUI thread.
    downgrade; start_product
    PROGRAMDATA="$work/pd" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen \
      "$bin/bench_update_gui_stall" -i "$work/info.json" > "$work/stall.txt" 2>"${STALL_LOG:-/dev/null}" || true
    printf '%s stall %s\n' "$size" "$(grep gui_max_stall_ms "$work/stall.txt" | tail -1 | awk '{print $2/1000}')" >> "$results"
    printf '%s startup %s\n' "$size" "$(awk '/gui_first_tick_ms/{print $2/1000}' "$work/stall.txt")" >> "$results"
  done
  kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; server=""
  stop_product; rm -f "$work/update.zip" "$work/update.zip.minisig"
done

# One table: per phase and size the best time, its baseline's best and the ratio;
# for the GUI thread the longest stall of any run, and every run's.
echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/{print $2}') GiB, $(df -T "$work" | awk 'NR==2{print $2}') at ${BENCH_DIR:-/dev/shm}"
awk -v order="${sizes[*]}" '
  $2 == "stall" { k=$1; if ($3 > worst[k]) worst[k]=$3; runs[k] = runs[k] (runs[k] == "" ? "" : " ") $3 * 1000; next }
  $2 == "startup" { k=$1; if ($3 > start[k]) start[k]=$3; next }
  { k=$1 SUBSEP $2; if (!(k in best) || $3 < best[k]) best[k]=$3 }
  END {
    n = split(order, wanted, " ")
    for (i = 1; i <= n; i++) { split(wanted[i], p, ":"); label[i] = p[1] "/" p[2] "MiB" }
    printf "%-9s %-11s", "phase", "baseline"
    for (i = 1; i <= n; i++) printf " %26s", label[i]
    printf "\n"
    # phase:baseline; the restore beside a plain copy and beside deleting first, as it does
    n2 = split("download:curl check:read shutdown: backup:cp unpack:tar restore:cp restore:rmcp config: restart: signed:unsigned", rows, " ")
    name["unsigned"]="unsigned"; name["curl"]="curl"; name["read"]="bsdtar -xOf"; name["cp"]="cp -a"; name["tar"]="bsdtar -xf"; name["rmcp"]="rm, cp -a"
    for (j = 1; j <= n2; j++) {
      split(rows[j], r, ":"); ph = r[1]; b = r[2]
      printf "%-9s %-11s", ph, (b == "" ? "-" : name[b])
      for (i = 1; i <= n; i++) {
        t = best[label[i], ph]
        if (b == "") printf " %26s", sprintf("%.3f s", t)
        else { s = best[label[i], b]; printf " %26s", sprintf("%.3f / %.3f = %.2fx", t, s, (s > 0 ? t / s : 0)) }
      }
      printf "\n"
    }
    printf "%-9s %-11s", "GUI stall", "worst"
    for (i = 1; i <= n; i++) printf " %26s", sprintf("%.0f ms", worst[label[i]] * 1000)
    printf "\n"
    printf "%-9s %-11s", "GUI start", "first tick"
    for (i = 1; i <= n; i++) printf " %26s", sprintf("%.0f ms", start[label[i]] * 1000)
    printf "\n"
    for (i = 1; i <= n; i++) printf "GUI stall of each run at %s (ms): %s\n", label[i], runs[label[i]]
  }' "$results"
