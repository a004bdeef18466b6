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
WORK=$(mktemp -d /tmp/vk-mem.XXXXXX)
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$WORK"; }
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 300); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
rss_mib() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
# Resident split: anonymous (heap, stacks) and file-backed (the store's mapped pages, libraries).
rss_split() { awk '/^RssAnon/ {a = $2} /^RssFile/ {f = $2} END {printf "anonymous %.1f MiB, file-backed %.1f MiB", a / 1024, f / 1024}' "/proc/$1/status"; }
fds() { ls "/proc/$1/fd" | wc -l; }
load1() { cut -d' ' -f1 /proc/loadavg; }

VELKAN_SOURCE_DIR=$HERE "$VK9000" --demo "$WORK/vk" --port "$(free_port)" > "$WORK/demo.log" 2>&1 &
DEMO=$!
for _ in $(seq 600); do grep -qs "listening on port" "$WORK/demo.log" && break; sleep 0.5; done
kill "$DEMO"; wait "$DEMO" 2>/dev/null || true
sed -i -e '/^MaxSearchHits=/d' -e 's/^\[Server\]\r\?$/[Server]\nMaxSearchHits=100000000/' "$WORK/vk/vk9000.ini"
rm -f "$WORK/vk/backend/vk9000.strata"*
ln -s "$STORE" "$WORK/vk/backend/vk9000.strata"
PORT=$(free_port)
mkdir -p "$WORK/vk/rs-tmp"
TMPDIR=$WORK/vk/rs-tmp "$VK9000" --home "$WORK/vk" --port "$PORT" > "$WORK/vk.log" 2>&1 &
VK=$!
PIDS+=($VK)
wait_port "$PORT"
sleep 2
idle=$(rss_mib $VK); idleFds=$(fds $VK)
echo "idle: resident ${idle} MiB ($(rss_split $VK)), ${idleFds} descriptors (load $(load1))"

"$LOAD" 127.0.0.1 "$PORT" books "$CLIENTS" "$((SECS + 3))" demo/demo F > "$WORK/load.txt" 2>&1 &
LP=$!
sleep "$SECS"
busy=$(rss_mib $VK); busyFds=$(fds $VK); busySplit=$(rss_split $VK)
echo "after ${SECS} s at ${CLIENTS} clients: resident ${busy} MiB (idle + $(python3 -c "print(f'{$busy - $idle:.1f}')") MiB; ${busySplit}), ${busyFds} descriptors (load $(load1))"
wait $LP || true
echo "  load: $(cat "$WORK/load.txt")"
sleep 10
after=$(rss_mib $VK)
echo "10 s after the load stopped: resident ${after} MiB (idle + $(python3 -c "print(f'{$after - $idle:.1f}')") MiB), $(fds $VK) descriptors"

# 1,000 associations: two waves of 500 clients that each connect, Init, search and present.
for _ in 1 2; do "$LOAD" 127.0.0.1 "$PORT" books 500 0.5 demo/demo F > "$WORK/churn.txt" 2>&1 || true; done
sleep 3
echo "3 s after 1,000 associations: $(fds $VK) descriptors (idle ${idleFds}), resident $(rss_mib $VK) MiB"
