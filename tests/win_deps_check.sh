#!/usr/bin/env bash
# The Windows library cache that builds share: an entry another build holds stays, one nobody
# holds goes, and a run that finds its own entry being built waits for that build instead of
# starting another. Usage: win_deps_check.sh SOURCE_DIR
set -euo pipefail
deps="$1/scripts/win-deps.sh"
real=$(bash "$deps") # this machine's finished entry: only its name, the key, is used here
key=${real##*/}
work=$(mktemp -d) cache=$work/cache log=$work/log.txt
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; cat "$log"; exit 1; }
held=$cache/0123456789abcdef loose=$cache/1123456789abcdef
mkdir -p "$held" "$loose" "$cache/work-2123456789abcdef" "$cache/$key" "$cache/notes"
# Each holder one process, away from the test's output, so that it ends when killed.
(exec 7>>"$held.lock"; flock -s 7; exec sleep 60) >/dev/null 2>&1 & # another build compiling against its entry
(exec 7>>"$cache/$key.lock"; flock -x 7; sleep 2; touch "$cache/$key/.complete") >/dev/null 2>&1 & # ours, being built
sleep 0.5
# A run that built again instead of waiting would fetch sources for many minutes.
got=$(FARWEN_WIN_CACHE="$cache" timeout 60 bash "$deps" 2>"$log") || fail "win-deps.sh failed"
[ "$got" = "$cache/$key" ] || fail "printed '$got', not the entry built meanwhile"
grep -q "fetching" "$log" && fail "built the entry that another run was building"
[ -d "$held" ] && grep -q "kept $held: another build holds it" "$log" || fail "removed or did not name an entry in use"
[ ! -e "$loose" ] && [ ! -e "$cache/work-2123456789abcdef" ] || fail "kept entries that nobody holds"
[ -f "$cache/$key/.complete" ] && [ -d "$cache/notes" ] || fail "removed its own entry, or a file that is no entry"
echo "win-deps cache: 5 rows passed"
