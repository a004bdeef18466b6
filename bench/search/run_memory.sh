#!/usr/bin/env bash
# Memory and descriptors of vk9000 under Search + Present load: resident size when idle, after
# SECONDS of CLIENTS concurrent associations (sampled while the load still runs), and 10 s after
# the load stops; open descriptors when idle and 3 s after 1,000 associations have come and gone.
# Usage: bench/search/run_memory.sh BUILD_DIR STORE_FILE [CLIENTS=64] [SECONDS=60]
# STORE_FILE: a store with a "books" database and a demo/demo account, as run_side_by_side.sh
# leaves in its DATA_DIR (vk-N.strata). MaxSearchHits is raised so that every hit is counted.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
STORE=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
CLIENTS=${3:-64}
SECS=${4:-60}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
LOAD=$BUILD/bin/search_load
VK9000=$BUILD/bin/vk9000
. "$HERE/bench/lib/common.sh"
WORK=$(mktemp -d /tmp/vk-mem.XXXXXX)
PIDS=()
cleanup() { bench_stop_servers; rm -rf "$WORK"; }
trap cleanup EXIT
rss_mib() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
# Resident split: anonymous (heap, stacks) and file-backed (the store's mapped pages, libraries).
rss_split() { awk '/^RssAnon/ {a = $2} /^RssFile/ {f = $2} END {printf "anonymous %.1f MiB, file-backed %.1f MiB", a / 1024, f / 1024}' "/proc/$1/status"; }
fds() { ls "/proc/$1/fd" | wc -l; }

bench_demo_instance "$VK9000" "$HERE" "$WORK/vk"
ln -s "$STORE" "$WORK/vk/backend/vk9000.strata"
PORT=$(bench_free_port)
bench_start_vk9000 "$VK9000" "$WORK/vk" "$PORT" "$WORK/vk.log"
VK=${PIDS[-1]}
sleep 2
idle=$(rss_mib $VK); idleFds=$(fds $VK)
echo "idle: resident ${idle} MiB ($(rss_split $VK)), ${idleFds} descriptors (load $(bench_load1))"

"$LOAD" 127.0.0.1 "$PORT" books "$CLIENTS" "$((SECS + 3))" demo/demo F > "$WORK/load.txt" 2>&1 &
LP=$!
sleep "$SECS"
busy=$(rss_mib $VK); busyFds=$(fds $VK); busySplit=$(rss_split $VK)
echo "after ${SECS} s at ${CLIENTS} clients: resident ${busy} MiB (idle + $(python3 -c "print(f'{$busy - $idle:.1f}')") MiB; ${busySplit}), ${busyFds} descriptors (load $(bench_load1))"
wait $LP || true
echo "  load: $(cat "$WORK/load.txt")"
sleep 10
after=$(rss_mib $VK)
echo "10 s after the load stopped: resident ${after} MiB (idle + $(python3 -c "print(f'{$after - $idle:.1f}')") MiB), $(fds $VK) descriptors"

# 1,000 associations: two waves of 500 clients that each connect, Init, search and present.
for _ in 1 2; do "$LOAD" 127.0.0.1 "$PORT" books 500 0.5 demo/demo F > "$WORK/churn.txt" 2>&1 || true; done
sleep 3
echo "3 s after 1,000 associations: $(fds $VK) descriptors (idle ${idleFds}), resident $(rss_mib $VK) MiB"
