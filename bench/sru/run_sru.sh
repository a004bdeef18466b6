#!/usr/bin/env bash
# Side-by-side SRU searchRetrieve load: vk9000's SRU (on its Z39.50 port, [SRU] Enabled=1) and
# zebrasrv's SRU (YAZ's front-end on its Z39.50 port, CQL through cql2pqf.txt, MARCXML through
# its retrievalinfo) over the same records, driven by wrk with sru.lua: each request a title
# word drawn by a Zipf distribution from the records' frequent title words (words.py), 10
# MARCXML records (recordPacking xml) per request. Before the load, hits.py compares
# numberOfRecords of every word on both servers; the ratio is printed only when the Zipf-weighted
# mean hits agree within 2%.
# Usage: bench/sru/run_sru.sh BUILD_DIR DATA_DIR [SECONDS=10] [SIZES="100000 1000000"] [CLIENTS="1 8 32"]
# DATA_DIR is bench/search/run_side_by_side.sh's: books-N.mrc, vk-books-N.strata and the Zebra
# register zebra-books-N/reg for each size N. It is only read: the store is copied into a
# temporary folder (vk9000 opens it for writing), and Zebra runs on the register with a
# configuration and lock folder of its own.
# Needs: BUILD_DIR/bin/vk9000, zebrasrv (idzebra-2.0), wrk, python3, curl.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
DATA=$(cd "$2" && pwd)
SECONDS_PER_RUN=${3:-10}
SIZES=${4:-"100000 1000000"}
CLIENTS=${5:-"1 8 32"}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
VK9000=$BUILD/bin/vk9000
. "$SRC/bench/lib/common.sh"
for tool in zebrasrv wrk curl; do
  command -v $tool >/dev/null || { echo "run_sru: $tool not found (scripts/deps.sh installs it)" >&2; exit 2; }
done
WORK=$(mktemp -d /var/tmp/vk-sru-bench.XXXXXX)
PIDS=()
cleanup() {
  bench_stop_servers
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
# hits.py and wrk's lines carry words besides numbers (agree=1, vk_page=10).
field() { sed -n "s/.*[ ^]$1=\([^ ]*\).*/\1/p" <<<" $2"; }

# vk9000: the demo instance's vk9000.ini with SRU on and every hit counted (as Zebra does).
bench_demo_instance "$VK9000" "$SRC" "$WORK/vk"
bench_set_ini "$WORK/vk/vk9000.ini" SRU Enabled 1
bench_set_ini "$WORK/vk/vk9000.ini" Server Log 0

# zebrasrv: the profile path of bench/search (usmarc.abs with 246 and 7XX), YAZ's front-end
# configuration with the CQL map and MARCXML from the USMARC records (UTF-8).
bench_zebra_tab "$WORK/zebra-tab"
cp "$HERE/cql2pqf.txt" "$WORK/cql2pqf.txt"

printf "%-8s %-7s %9s %9s %6s %10s %10s %9s %9s %5s %9s\n" records clients "vk req/s" "zb req/s" ratio \
  "vk p99 ms" "zb p99 ms" "vk hits" "zb hits" load "p99 vk/zb"
for n in $SIZES; do
  for f in "$DATA/books-$n.mrc" "$DATA/vk-books-$n.strata" "$DATA/zebra-books-$n/reg"; do
    [[ -e $f ]] || { echo "run_sru: $f missing (make it with bench/search/run_side_by_side.sh)" >&2; exit 2; }
  done
  rm -f "$WORK/vk/backend/"vk9000.strata*
  cp "$DATA/vk-books-$n.strata" "$WORK/vk/backend/vk9000.strata"
  [[ -s $DATA/vk-books-$n.strata-wal ]] && cp "$DATA/vk-books-$n.strata-wal" "$WORK/vk/backend/vk9000.strata-wal"
  VKPORT=$(bench_free_port)
  bench_start_vk9000 "$VK9000" "$WORK/vk" "$VKPORT" "$WORK/vk.log"
  ZPORT=$(bench_free_port)
  bench_zebra_cfg "$WORK/zebra-$n" "$WORK/zebra-tab" "$DATA/zebra-books-$n/reg" "$WORK/zebra-$n/lock"
  cat > "$WORK/zebra-$n/yazgfs.xml" <<XML
<yazgfs>
  <listen id="l">tcp:127.0.0.1:$ZPORT</listen>
  <server id="s" listenref="l">
    <directory>$WORK/zebra-$n</directory>
    <config>zebra.cfg</config>
    <cql2rpn>$WORK/cql2pqf.txt</cql2rpn>
    <retrievalinfo>
      <retrieval syntax="usmarc" name="F"/>
      <retrieval syntax="xml" name="marcxml" identifier="info:srw/schema/1/marcxml-v1.1">
        <backend syntax="usmarc" name="F">
          <marc inputformat="marc" outputformat="marcxml" inputcharset="utf-8"/>
        </backend>
      </retrieval>
    </retrievalinfo>
  </server>
</yazgfs>
XML
  bench_start_zebra "$WORK/zebra-$n" "$ZPORT" "$WORK/zebra-srv.log" -f yazgfs.xml
  WORDS=$(python3 "$HERE/words.py" "$DATA/books-$n.mrc" 40)
  check=$(python3 "$HERE/hits.py" "http://127.0.0.1:$VKPORT/books" "http://127.0.0.1:$ZPORT/books" "$WORDS")
  [[ $(field agree "$check") == 1 ]] || echo "size $n: mean hits differ, no ratio ($check)"
  [[ $(field vk_page "$check") == 10 && $(field zb_page "$check") == 10 ]] || echo "size $n: a page is not 10 MARCXML records ($check)"
  for c in $CLIENTS; do
    threads=$(( c < 2 ? c : 2 ))
    l=$(bench_load1)
    vk=$(WORDS=$WORDS DB=books wrk -t"$threads" -c"$c" -d"${SECONDS_PER_RUN}s" -s "$HERE/sru.lua" "http://127.0.0.1:$VKPORT" | tail -1)
    zb=$(WORDS=$WORDS DB=books wrk -t"$threads" -c"$c" -d"${SECONDS_PER_RUN}s" -s "$HERE/sru.lua" "http://127.0.0.1:$ZPORT" | tail -1)
    vr=$(field rps "$vk"); zr=$(field rps "$zb")
    ratio=-; p99ratio=-
    if [[ $(field agree "$check") == 1 ]]; then
      ratio=$(bench_ratio "$vr" "$zr")
      p99ratio=$(bench_ratio "$(field p99 "$vk")" "$(field p99 "$zb")" .3g)
    fi
    errs=""
    [[ $(field errors "$vk") != 0 ]] && errs+="  vk errors=$(field errors "$vk")"
    [[ $(field errors "$zb") != 0 ]] && errs+="  zebra errors=$(field errors "$zb")"
    printf "%-8s %-7s %9s %9s %6s %10s %10s %9s %9s %5s %9s%s\n" "$n" "$c" "$vr" "$zr" "$ratio" "$(field p99 "$vk")" \
      "$(field p99 "$zb")" "$(field vk_hits "$check")" "$(field zb_hits "$check")" "$l" "$p99ratio" "$errs"
  done
  bench_stop_servers
  wait 2>/dev/null || true
done
