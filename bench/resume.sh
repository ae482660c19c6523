#!/usr/bin/env bash
# A download cut at 50 %, resumed within the run and across a kill and a new
# run, beside an uncut one: the bytes the server sent and the time to the end
# of the transfer (a resume within the run includes its 1 s pause). Each row
# twice: at the loopback's full speed, where this machine's two cores are the
# bottleneck and the kernel's receive buffer fills, and paced by the server to
# RATE_MBIT (default 1000), where the network is, as on a real line.
# Usage: bench/resume.sh [SIZE_MIB] (default 1024)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}" tinyproxy
size_mib=${1:-1024}
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_download_client farwen_http_serve >/dev/null
work=$(mktemp -d /var/tmp/farwen-bench.XXXXXX)
server=""
trap '[ -n "$server" ] && kill $server 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/prod" "$work/pkg"; echo main > "$work/prod/Pellamo.exe"
cp "$work/prod/Pellamo.exe" "$work/pkg/"; head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/pkg/data.bin"
(cd "$work/pkg" && bsdtar --format=zip --options zip:compression=store -cf "$work/package.zip" .); rm -rf "$work/pkg"
size=$(stat -c %s "$work/package.zip")
rate=0
serve() { # CUT_AT
  [ -n "$server" ] && { kill "$server"; wait "$server" 2>/dev/null || true; }
  rm -rf "$work/pd"; mkdir -p "$work/pd"; : > "$work/sent"
  FARWEN_SERVE_RATE=$rate FARWEN_SERVE_CUT_AT="$1" "$build/bin/farwen_http_serve" "$work/package.zip" > "$work/url" 2> "$work/sent" & server=$!
  for _ in $(seq 50); do [ -s "$work/url" ] && break; sleep 0.1; done
}
client() { PROGRAMDATA="$work/pd" "$build/bin/bench_download_client" "$(cat "$work/url")" "$work/prod/Pellamo.exe"; }
report() { # LABEL SECONDS
  sleep 0.2
  local sent; sent=$(awk '{s += $2} END {print s + 0}' "$work/sent")
  printf '%-36s %8.3f s %14d bytes sent (%+d beyond the package)\n' "$1" "$2" "$sent" $((sent - size))
}
echo "package: $size bytes"
rows() {
  serve 0; direct=$(client | awk '/engine_seconds/ {print $2}'); report "uncut" "$direct"
  serve $((size / 2)); report "cut at 50 %, resumed in the run" "$(client | awk '/engine_seconds/ {print $2}')"
  # Through tinyproxy (Qt never proxies a loopback address; 0.0.0.0 reaches the same server).
  serve 0
  printf 'Port 18931\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\n' > "$work/tinyproxy.conf"
  tinyproxy -d -c "$work/tinyproxy.conf" > /dev/null 2>&1 & proxy=$!; sleep 0.5
  proxied=$(PROGRAMDATA="$work/pd" http_proxy=http://127.0.0.1:18931 "$build/bin/bench_download_client" \
    "$(sed 's/127.0.0.1/0.0.0.0/' "$work/url")" "$work/prod/Pellamo.exe" | awk '/engine_seconds/ {print $2}')
  report "uncut, through tinyproxy" "$proxied"
  printf '%-36s %8.2f x\n' "through tinyproxy / direct" "$(awk -v a="$proxied" -v b="$direct" 'BEGIN{print a/b}')"
  # The proxy's own cost: curl direct and through it.
  for via in "" "-x http://127.0.0.1:18931"; do
    t0=$(date +%s%N); curl -s $via -o /dev/null "$(sed 's/127.0.0.1/0.0.0.0/' "$work/url")"; t1=$(date +%s%N)
    printf '%-36s %8.3f s\n' "curl $([ -n "$via" ] && echo through tinyproxy || echo direct)" "$(awk -v a="$t0" -v b="$t1" 'BEGIN{print (b-a)/1e9}')"
  done
  kill "$proxy"
  # Killed once half is in the cache, then started again.
  serve 0
  t0=$(date +%s%N)
  PROGRAMDATA="$work/pd" "$build/bin/bench_download_client" "$(cat "$work/url")" "$work/prod/Pellamo.exe" > /dev/null & pid=$!
  while :; do
    part=$(find "$work/pd" -name '*.part' 2>/dev/null | head -1)
    [ -n "$part" ] && [ "$(stat -c %s "$part")" -ge $((size / 2)) ] && break
    sleep 0.01
  done
  kill -9 "$pid"; wait "$pid" 2>/dev/null || true
  second=$(client | awk '/engine_seconds/ {print $2}'); t1=$(date +%s%N)
  report "killed at 50 %, resumed by a new run" "$(awk -v a="$t0" -v b="$t1" 'BEGIN{print (b-a)/1e9}')"
}
echo "-- the loopback's full speed"; rate=0; rows
echo "-- at ${RATE_MBIT:-1000} Mbit/s"; rate=$(( ${RATE_MBIT:-1000} * 125000 )); rows
