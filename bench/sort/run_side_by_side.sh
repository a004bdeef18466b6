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
# shellcheck source=../lib/common.sh
. "$HERE/bench/lib/common.sh"
WORK=$(mktemp -d /tmp/vk-sortbench.XXXXXX)
DATA=${3:-$WORK/data}
mkdir -p "$DATA"
DATA=$(cd "$DATA" && pwd)
PIDS=()
cleanup() {
  bench_stop_servers
  rm -rf "$WORK"
}
trap cleanup EXIT

MRC=$DATA/books-$N.mrc
bench_records "$HERE" books "$MRC" "$N"
STORE=$DATA/vk-books-$N.strata
if [[ ! -s $STORE ]]; then
  bench_cfgs "$HERE" "$WORK/cfgs"
  bench_make_store "$BUILD/bin/strata" "$STORE" "$WORK/cfgs" "$MRC"
fi
# Zebra sorts from sort registers (:s) of the title and the author.
ZDIR=$DATA/zebra-sort-books-$N
if [[ ! -d $ZDIR/reg ]]; then
  mkdir -p "$ZDIR/tab"
  sed -e 's|^elm 245/?/a\t\ttitle\t\t!:w,!:p$|elm 245/?/a\t\ttitle\t\t!:w,!:p,!:s|' \
      -e 's|^elm 100/?\t\tAuthor-name-personal\t!:w,!:p,Author:w,Author:p$|&,Author:s|' \
      /usr/share/idzebra-2.0/tab/usmarc.abs > "$ZDIR/tab/usmarc.abs"
  bench_zebra_cfg "$ZDIR" "$ZDIR/tab" "$ZDIR/reg" "$ZDIR/lock"
  bench_zebra_index "$ZDIR" "$MRC"
fi

bench_demo_instance "$BUILD/bin/vk9000" "$HERE" "$WORK/vk"
ln -sf "$STORE" "$WORK/vk/backend/vk9000.strata"
VKPORT=$(bench_free_port)
bench_start_vk9000 "$BUILD/bin/vk9000" "$WORK/vk" "$VKPORT" "$WORK/vk.log"
ZPORT=$(bench_free_port)
bench_start_zebra "$ZDIR" "$ZPORT" "$WORK/zebra-srv.log"

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
  load=$(bench_load1)
  read -r vk hits < <(sort_time "$VKPORT" "$use")
  read -r zb zhits < <(sort_time "$ZPORT" "$use")
  ratio=-
  if bench_hits_agree "$hits" "$zhits" && [[ $vk != - && $zb != - ]]; then ratio=$(bench_ratio "$zb" "$vk"); fi
  printf "%-8s %-6s %9s %9s %12s %12s %7s %5s\n" "$N" "$use" "$hits" "$zhits" "$vk" "$zb" "$ratio" "$load"
done
