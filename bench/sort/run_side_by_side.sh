#!/usr/bin/env bash
# Side-by-side Sort run: vk9000 (embedded store) and Zebra (idzebra-2.0) serve the same generated
# MARC 21 records (data/demo/gendemo.py books); yaz-client searches six of the ten publishers
# (260 $b, which both servers index alike: about 60% of the records, 60,000 hits of 100,000) and
# sorts the set by title (1=4) and by author (1=1003), ascending, ROUNDS times on each server.
# QUERY (PQF) replaces the search; a title word counts differently (vk9000's title key also
# reads 246 $a, Zebra's 245 $c). Prints each sort's median time as yaz-client
# reports it, the ratio and the load average. The machine may be shared: the figures are noisy.
# Usage: bench/sort/run_side_by_side.sh BUILD_DIR [RECORDS=100000] [DATA_DIR] [ROUNDS=3]
# DATA_DIR keeps the records and the vk9000 store (the names bench/search/run_side_by_side.sh
# uses, so either run reuses the other's) and Zebra's register with sort indexes.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
N=${2:-100000}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ROUNDS=${4:-3}
PUB="@attr 1=1018"
QUERY=${QUERY:-"@or @or @or @or @or $PUB penguin $PUB harper $PUB springer $PUB dover $PUB norton $PUB macmillan"}
command -v zebraidx >/dev/null || { echo "run_side_by_side: zebraidx not found (apt-get install idzebra-2.0)" >&2; exit 2; }
WORK=$(mktemp -d /tmp/vk-sortbench.XXXXXX)
DATA=${3:-$WORK/data}
mkdir -p "$DATA"
DATA=$(cd "$DATA" && pwd)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 300); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

MRC=$DATA/books-$N.mrc
[[ -s $MRC ]] || python3 "$HERE/data/demo/gendemo.py" books "$MRC" "$N"
STORE=$DATA/vk-books-$N.strata
if [[ ! -s $STORE ]]; then
  mkdir -p "$WORK/cfgs"
  for f in "$HERE"/data/demo/books/cfgs/*.cfg; do iconv -f UTF-8 -t GBK "$f" > "$WORK/cfgs/$(basename "$f")"; done
  "$BUILD/bin/strata" create "$STORE" >/dev/null
  "$BUILD/bin/strata" db add "$STORE" books --cfgs "$WORK/cfgs" >/dev/null
  "$BUILD/bin/strata" load "$STORE" books "$MRC" --format usmarc --encoding auto >/dev/null
  "$BUILD/bin/strata" account add "$STORE" demo --password demo --rights rw >/dev/null
fi
# Zebra sorts from sort registers (:s) of the title and the author.
ZDIR=$DATA/zebra-sort-books-$N
if [[ ! -d $ZDIR/reg ]]; then
  mkdir -p "$ZDIR/tab" "$ZDIR/reg" "$ZDIR/lock"
  sed -e 's|^elm 245/?/a\t\ttitle\t\t!:w,!:p$|elm 245/?/a\t\ttitle\t\t!:w,!:p,!:s|' \
      -e 's|^elm 100/?\t\tAuthor-name-personal\t!:w,!:p,Author:w,Author:p$|&,Author:s|' \
      /usr/share/idzebra-2.0/tab/usmarc.abs > "$ZDIR/tab/usmarc.abs"
  cat > "$ZDIR/zebra.cfg" <<CFG
profilePath: $ZDIR/tab:/usr/share/idzebra-2.0/tab
attset: bib1.att
recordType: grs.marc.usmarc
register: $ZDIR/reg:16G
lockDir: $ZDIR/lock
CFG
  (cd "$ZDIR" && zebraidx -c zebra.cfg -d books update "$MRC" >/dev/null 2>&1 && zebraidx -c zebra.cfg commit >/dev/null 2>&1)
fi

VELKAN_SOURCE_DIR=$HERE "$BUILD/bin/vk9000" --demo "$WORK/vk" --port "$(free_port)" > "$WORK/demo.log" 2>&1 &
DEMO=$!
for _ in $(seq 600); do grep -qs "listening on port" "$WORK/demo.log" && break; sleep 0.5; done
kill "$DEMO"; wait "$DEMO" 2>/dev/null || true
sed -i -e '/^MaxSearchHits=/d' -e 's/^\[Server\]\r\?$/[Server]\nMaxSearchHits=100000000/' "$WORK/vk/vk9000.ini"
rm -f "$WORK/vk/backend/vk9000.strata"*
ln -sf "$STORE" "$WORK/vk/backend/vk9000.strata"
VKPORT=$(free_port)
"$BUILD/bin/vk9000" --home "$WORK/vk" --port "$VKPORT" > "$WORK/vk.log" 2>&1 &
PIDS+=($!)
ZPORT=$(free_port)
(cd "$ZDIR" && exec zebrasrv -l "$WORK/zebra-srv.log" -c zebra.cfg "tcp:127.0.0.1:$ZPORT") &
PIDS+=($!)
wait_port "$VKPORT"
wait_port "$ZPORT"

# The median of ROUNDS "Elapsed" times of a sort of `use` after a fresh search, and the hits.
sort_time() {
  local port=$1 use=$2 script="" out
  for _ in $(seq "$ROUNDS"); do script+="find $QUERY"$'\n'"sort 1=$use <"$'\n'; done
  out=$(printf 'open tcp:127.0.0.1:%s\nbase books\n%squit\n' "$port" "$script" | yaz-client 2>&1)
  python3 - "$out" <<'PY'
import re, statistics, sys
out = sys.argv[1]
hits = re.findall(r"Number of hits: (\d+)", out)
sorts = re.findall(r"Received SortResponse: status=(\w+)\s*\n(?:.*\n)*?Elapsed: ([0-9.]+)", out)
ok = [float(t) for status, t in sorts if status == "success"]
print(f"{statistics.median(ok) * 1000:.0f} {hits[0] if hits else 0}" if ok else f"- {hits[0] if hits else 0}")
PY
}
# The ratio is printed only when both servers' hit counts agree within 2%.
printf "%-8s %-6s %9s %9s %12s %12s %7s %5s\n" records use "vk hits" "zb hits" "vk sort ms" "zb sort ms" "zb/vk" load
for use in 4 1003; do
  load=$(cut -d' ' -f1 /proc/loadavg)
  read -r vk hits < <(sort_time "$VKPORT" "$use")
  read -r zb zhits < <(sort_time "$ZPORT" "$use")
  ratio=$(python3 -c "
import sys
a, b, h, z = sys.argv[1:5]
same = int(h) > 0 and abs(int(h) - int(z)) <= 0.02 * int(h)
print(f'{float(b) / float(a):.2f}' if same and '-' not in (a, b) and float(a) else '-')" "$vk" "$zb" "$hits" "$zhits")
  printf "%-8s %-6s %9s %9s %12s %12s %7s %5s\n" "$N" "$use" "$hits" "$zhits" "$vk" "$zb" "$ratio" "$load"
done
