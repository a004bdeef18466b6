#!/usr/bin/env bash
# Side-by-side Search + Present load run: vk9000 and Zebra (Debian's idzebra-2.0) serve the same
# generated MARC 21 records (data/demo/gendemo.py books), search_load drives both with 1, 8 and 32
# concurrent associations. Prints one table row per server, size and concurrency.
# Usage: bench/search/run_side_by_side.sh BUILD_DIR [SECONDS=5] [SIZES="10000 100000"]
# Needs: BUILD_DIR/bin/{vk9000,strata,search_load}, zebraidx and zebrasrv (apt-get install idzebra-2.0).
set -euo pipefail
BUILD=$(cd "$1" && pwd)
SECONDS_PER_RUN=${2:-5}
SIZES=${3:-"10000 100000"}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
LOAD=$BUILD/bin/search_load
STRATA=$BUILD/bin/strata
VK9000=$BUILD/bin/vk9000
command -v zebraidx >/dev/null || { echo "run_side_by_side: zebraidx not found (apt-get install idzebra-2.0)" >&2; exit 2; }
WORK=$(mktemp -d /tmp/vk-bench.XXXXXX)
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$WORK"; }
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

# The demo instance gives vk9000.ini and the layout; its store is replaced per size below.
VELKAN_SOURCE_DIR=$HERE "$VK9000" --demo "$WORK/vk" --port "$(free_port)" > "$WORK/demo.log" 2>&1 &
DEMO=$!
for _ in $(seq 600); do grep -q "listening on port" "$WORK/demo.log" && break; sleep 0.5; done
kill "$DEMO"; wait "$DEMO" 2>/dev/null || true

printf "%-7s %-8s %-7s %10s %9s %9s\n" server records clients "req/s" "p50 ms" "p99 ms"
for n in $SIZES; do
  python3 "$HERE/data/demo/gendemo.py" books "$WORK/books-$n.mrc" "$n"
  # vk9000: a store holding exactly these records.
  mkdir -p "$WORK/cfgs"
  for f in "$HERE"/data/demo/books/cfgs/*.cfg; do iconv -f UTF-8 -t GBK "$f" > "$WORK/cfgs/$(basename "$f")"; done
  STORE=$WORK/vk/backend/vk9000.strata
  rm -f "$STORE" "$STORE-wal" "$STORE-shm"
  "$STRATA" create "$STORE" >/dev/null
  "$STRATA" db add "$STORE" books --cfgs "$WORK/cfgs" >/dev/null
  "$STRATA" load "$STORE" books "$WORK/books-$n.mrc" --format usmarc --encoding auto >/dev/null
  "$STRATA" account add "$STORE" demo --password demo --rights rw >/dev/null
  VKPORT=$(free_port)
  mkdir -p "$WORK/vk/rs-tmp"
  TMPDIR=$WORK/vk/rs-tmp "$VK9000" --home "$WORK/vk" --port "$VKPORT" > "$WORK/vk.log" 2>&1 &
  PIDS+=($!)
  wait_port "$VKPORT"
  # Zebra: grs.marc.usmarc with the stock usmarc.abs (245 -> title).
  rm -rf "$WORK/zebra"; mkdir -p "$WORK/zebra/reg" "$WORK/zebra/lock"
  cat > "$WORK/zebra/zebra.cfg" <<CFG
profilePath: /usr/share/idzebra-2.0/tab
attset: bib1.att
recordType: grs.marc.usmarc
register: $WORK/zebra/reg:4G
lockDir: $WORK/zebra/lock
CFG
  (cd "$WORK/zebra" && zebraidx -c zebra.cfg -d books update "$WORK/books-$n.mrc" >/dev/null 2>&1 && zebraidx -c zebra.cfg commit >/dev/null 2>&1 || true)
  ZPORT=$(free_port)
  (cd "$WORK/zebra" && exec zebrasrv -l "$WORK/zebra/srv.log" -c zebra.cfg "tcp:127.0.0.1:$ZPORT") &
  PIDS+=($!)
  wait_port "$ZPORT"
  for c in 1 8 32; do
    for side in vk9000 zebra; do
      if [[ $side == vk9000 ]]; then out=$("$LOAD" 127.0.0.1 "$VKPORT" books "$c" "$SECONDS_PER_RUN" demo/demo F || true)
      else out=$("$LOAD" 127.0.0.1 "$ZPORT" books "$c" "$SECONDS_PER_RUN" - F || true); fi
      rps=$(sed -n 's/.*rps=\([0-9]*\).*/\1/p' <<<"$out"); p50=$(sed -n 's/.*p50=\([0-9.]*\)ms.*/\1/p' <<<"$out")
      p99=$(sed -n 's/.*p99=\([0-9.]*\)ms.*/\1/p' <<<"$out"); err=$(sed -n 's/.*errors=\([0-9]*\).*/\1/p' <<<"$out")
      printf "%-7s %-8s %-7s %10s %9s %9s%s\n" "$side" "$n" "$c" "$rps" "$p50" "$p99" "$([[ ${err:-0} != 0 ]] && echo "  errors=$err")"
    done
  done
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  PIDS=()
  sleep 1
done
