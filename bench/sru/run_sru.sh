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
for tool in zebrasrv wrk curl; do
  command -v $tool >/dev/null || { echo "run_sru: $tool not found (scripts/deps.sh installs it)" >&2; exit 2; }
done
WORK=$(mktemp -d /var/tmp/vk-sru-bench.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 300); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
field() { sed -n "s/.*[ ^]$1=\([^ ]*\).*/\1/p" <<<" $2"; }
load1() { cut -d' ' -f1 /proc/loadavg; }

# vk9000: the demo instance's vk9000.ini with SRU on and every hit counted (as Zebra does).
VELKAN_SOURCE_DIR=$SRC "$VK9000" --demo "$WORK/vk" --port "$(free_port)" > "$WORK/demo.log" 2>&1 &
DEMO=$!
for _ in $(seq 600); do grep -qs "listening on port" "$WORK/demo.log" && break; sleep 0.5; done
kill "$DEMO"; wait "$DEMO" 2>/dev/null || true
python3 - "$WORK/vk/vk9000.ini" <<'PY'
import re, sys
path = sys.argv[1]
text = open(path, encoding="latin-1").read()
for section, key, value in (("Server", "MaxSearchHits", "100000000"), ("SRU", "Enabled", "1"), ("Server", "Log", "0")):
    pattern = re.compile(rf"^{key}=.*$", re.M)
    if pattern.search(text):
        text = pattern.sub(f"{key}={value}", text)
    else:
        text = re.sub(rf"^\[{section}\]\s*$", f"[{section}]\n{key}={value}", text, count=1, flags=re.M)
open(path, "w", encoding="latin-1").write(text)
PY
rm -f "$WORK/vk/backend/"*.strata*

# zebrasrv: the profile path of bench/search (usmarc.abs with 246 and 7XX), YAZ's front-end
# configuration with the CQL map and MARCXML from the USMARC records (UTF-8).
mkdir -p "$WORK/zebra-tab"
cp /usr/share/idzebra-2.0/tab/usmarc.abs "$WORK/zebra-tab/usmarc.abs"
cat >> "$WORK/zebra-tab/usmarc.abs" <<'ABS'
elm 246			title		-
elm 246/?		title		!:w
elm 700			Author-name-personal	-
elm 700/?		Author-name-personal	!:w,!:p,Author:w,Author:p
elm 710			Author-name-corporate	-
elm 710/?		Author-name-corporate	!:w,!:p,Author:w,Author:p
elm 711			Author-name-conference	-
elm 711/?		Author-name-conference	!:w,!:p,Author:w,Author:p
ABS
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
  VKPORT=$(free_port)
  mkdir -p "$WORK/vk/rs-tmp"
  TMPDIR=$WORK/vk/rs-tmp "$VK9000" --home "$WORK/vk" --port "$VKPORT" > "$WORK/vk.log" 2>&1 &
  PIDS+=($!)
  wait_port "$VKPORT"
  ZPORT=$(free_port)
  mkdir -p "$WORK/zebra-$n/lock"
  cat > "$WORK/zebra-$n/zebra.cfg" <<CFG
profilePath: $WORK/zebra-tab:/usr/share/idzebra-2.0/tab
attset: bib1.att
recordType: grs.marc.usmarc
register: $DATA/zebra-books-$n/reg:16G
lockDir: $WORK/zebra-$n/lock
CFG
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
  (cd "$WORK/zebra-$n" && exec zebrasrv -l "$WORK/zebra-srv.log" -f yazgfs.xml) &
  PIDS+=($!)
  wait_port "$ZPORT"
  WORDS=$(python3 "$HERE/words.py" "$DATA/books-$n.mrc" 40)
  check=$(python3 "$HERE/hits.py" "http://127.0.0.1:$VKPORT/books" "http://127.0.0.1:$ZPORT/books" "$WORDS")
  [[ $(field agree "$check") == 1 ]] || echo "size $n: mean hits differ, no ratio ($check)"
  [[ $(field vk_page "$check") == 10 && $(field zb_page "$check") == 10 ]] || echo "size $n: a page is not 10 MARCXML records ($check)"
  for c in $CLIENTS; do
    threads=$(( c < 2 ? c : 2 ))
    l=$(load1)
    vk=$(WORDS=$WORDS DB=books wrk -t"$threads" -c"$c" -d"${SECONDS_PER_RUN}s" -s "$HERE/sru.lua" "http://127.0.0.1:$VKPORT" | tail -1)
    zb=$(WORDS=$WORDS DB=books wrk -t"$threads" -c"$c" -d"${SECONDS_PER_RUN}s" -s "$HERE/sru.lua" "http://127.0.0.1:$ZPORT" | tail -1)
    vr=$(field rps "$vk"); zr=$(field rps "$zb")
    ratio=-
    [[ $(field agree "$check") == 1 ]] && ratio=$(python3 -c "import sys; a, b = map(float, sys.argv[1:]); print(f'{a / b:.2f}' if b else '-')" "$vr" "$zr")
    p99ratio=$(python3 -c "import sys; a, b = map(float, sys.argv[1:]); print(f'{a / b:.3g}' if b else '-')" \
      "$(field p99 "$vk")" "$(field p99 "$zb")")
    errs=""
    [[ $(field errors "$vk") != 0 ]] && errs+="  vk errors=$(field errors "$vk")"
    [[ $(field errors "$zb") != 0 ]] && errs+="  zebra errors=$(field errors "$zb")"
    printf "%-8s %-7s %9s %9s %6s %10s %10s %9s %9s %5s %9s%s\n" "$n" "$c" "$vr" "$zr" "$ratio" "$(field p99 "$vk")" \
      "$(field p99 "$zb")" "$(field vk_hits "$check")" "$(field zb_hits "$check")" "$l" "$p99ratio" "$errs"
  done
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  PIDS=()
done
