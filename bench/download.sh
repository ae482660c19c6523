#!/usr/bin/env bash
# Download throughput and peak memory of the engine beside curl, same file,
# same loopback server; then download and check with and without a signature,
# at the loopback's full speed (this machine's two cores shared by server,
# client and hashes) and paced by the server to RATE_MBIT (default 1000).
# Usage: bench/download.sh [SIZE_MIB] (default 1024).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/ensure-packages.sh"
ensure_packages "${FARWEN_PACKAGES[@]}"
size_mib=${1:-1024}
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_download_client farwen_http_serve >/dev/null

work=$(mktemp -d /var/tmp/farwen-bench.XXXXXX)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
# A package that passes the check: the main program and random bytes, stored.
mkdir -p "$work/prod" "$work/programdata" "$work/pkg"; echo main > "$work/prod/Pellamo.exe"
cp "$work/prod/Pellamo.exe" "$work/pkg/"; head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$work/pkg/data.bin"
(cd "$work/pkg" && bsdtar --format=zip --options zip:compression=store -cf "$work/package.zip" .); rm -rf "$work/pkg"
"$build/bin/farwen_http_serve" "$work/package.zip" > "$work/url" & server=$!
for _ in $(seq 50); do [ -s "$work/url" ] && break; sleep 0.1; done
url=$(cat "$work/url")
cat "$work/package.zip" > /dev/null   # same page-cache state for both

echo "package: $size_mib MiB, $url (3 alternating runs each, best taken)"
for i in 1 2 3; do
  sync
  PROGRAMDATA="$work/programdata" "$build/bin/bench_download_client" "$url" "$work/prod/Pellamo.exe" >> "$work/engine.txt"
  rm -f "$work/curl.zip"; sync
  /usr/bin/time -a -o "$work/curl.txt" -f "curl_seconds %e\ncurl_peak_rss %M kB" curl -s -o "$work/curl.zip" "$url"
  rm -f "$work/curl.zip"
done
# Signed (minisign, prehashed) beside unsigned: to the end of the package check.
minisign -G -W -p "$work/keys.pub" -s "$work/k.key" > /dev/null
minisign -S -s "$work/k.key" -m "$work/package.zip" -t "version=2.0" > /dev/null
signed_beside_unsigned() { # LABEL
  : > "$work/signed.txt"
  for i in 1 2 3; do
    PROGRAMDATA="$work/programdata" "$build/bin/bench_download_client" "$url" "$work/prod/Pellamo.exe" | sed 's/^/unsigned_/' >> "$work/signed.txt"
    PROGRAMDATA="$work/programdata" "$build/bin/bench_download_client" "$url" "$work/prod/Pellamo.exe" "$work/keys.pub" | sed 's/^/signed_/' >> "$work/signed.txt"
  done
  awk -v label="$1" '/^unsigned_engine_checked/{if(!u||$2<u)u=$2} /^signed_engine_checked/{if(!s||$2<s)s=$2}
    END{printf "download and check, best of 3, %s: unsigned %.3f s, signed %.3f s, ratio %.3f\n", label, u, s, s/u}' "$work/signed.txt"
}
signed_beside_unsigned "full speed"
kill "$server"; wait "$server" 2>/dev/null || true
FARWEN_SERVE_RATE=$(( ${RATE_MBIT:-1000} * 125000 )) "$build/bin/farwen_http_serve" "$work/package.zip" > "$work/url" & server=$!
for _ in $(seq 50); do [ -s "$work/url" ] && [ "$(cat "$work/url")" != "$url" ] && break; sleep 0.1; done
url=$(cat "$work/url")
signed_beside_unsigned "at ${RATE_MBIT:-1000} Mbit/s"
cat "$work/engine.txt" "$work/curl.txt"
awk -v mib="$size_mib" '
  /engine_seconds/{if(!e||$2<e)e=$2} /curl_seconds/{if(!c||$2<c)c=$2}
  /engine_peak_rss/{if($2>er)er=$2} /curl_peak_rss/{if($2>cr)cr=$2}
  END{printf "best: engine %.0f MiB/s, curl %.0f MiB/s, throughput ratio %.2f; peak RSS engine %d MiB, curl %d MiB\n",
      mib/e, mib/c, c/e, er/1024, cr/1024}' "$work/engine.txt" "$work/curl.txt"
