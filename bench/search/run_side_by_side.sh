#!/usr/bin/env bash
# Side-by-side Search + Present load run: vk9000 on its embedded store, vk9000 on PostgreSQL (the
# network back-end, netchan32.dll, in a throw-away cluster; WITH_PG=0 leaves it out) and Zebra
# (Debian's idzebra-2.0) serve the same generated MARC 21 records (data/demo/gendemo.py books),
# search_load drives each with each count
# of concurrent associations, a title word (use 4) and a surname (use 1003) in turn. Both servers
# count every hit (vk9000's MaxSearchHits is raised above the record count). Prints one row per
# size, concurrency and use: requests per second of each server, their ratio, the search p99 of
# each, the mean hit counts, the machine's load average at the time and the p99 ratio vk/zebra
# (both ratios "-" unless the two servers' mean hit counts agree within 2%). The shared pieces
# (ports, demo instance, store, Zebra register, PostgreSQL cluster) are in bench/lib/common.sh.
# SEARCH_LOAD_SCAN=N makes every request a Scan of N terms instead (bench/scan/).
# Usage: bench/search/run_side_by_side.sh BUILD_DIR [SECONDS=5] [SIZES="10000 100000"]
#        [CLIENTS="1 8 32 64"] [DATA_DIR]
# DATA_DIR keeps the generated records, the loaded store and Zebra's register per size between
# runs (a million records take minutes to load); without it everything lives in a temporary
# folder. REBUILD=1 reloads both. The first load of a size prints both load times.
# Both servers index the same fields: vk9000's title key is 245ab 246a and its author key 100a 110a
# 111a 700a 710a 711a; Zebra gets the stock usmarc.abs plus 246 (title) and 700/710/711 (Author).
# GEN=intl-nfc uses names and titles of many scripts instead (data/demo/gendemo.py intl-nfc);
# AUTHOR_TERMS and TITLE_TERMS (comma-separated) replace search_load's built-in word lists;
# QUERY=left or QUERY=mask runs left-truncated or masked words instead (see below).
# PER_TERM=1 gives one author row per word of AUTHOR_TERMS instead (its hits, search p50 and p99),
# to compare the cost of words of different scripts; PER_TERM_USE=4 does it for TITLE_TERMS.
# Needs: BUILD_DIR/bin/{vk9000,strata,search_load}, zebraidx and zebrasrv (apt-get install idzebra-2.0),
# and for the PostgreSQL column postgresql-15 (scripts/pg_cluster.sh).
set -euo pipefail
BUILD=$(cd "$1" && pwd)
SECONDS_PER_RUN=${2:-5}
SIZES=${3:-"10000 100000"}
CLIENTS=${4:-"1 8 32 64"}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
LOAD=$BUILD/bin/search_load
STRATA=$BUILD/bin/strata
VK9000=$BUILD/bin/vk9000
. "$HERE/bench/lib/common.sh"
command -v zebraidx >/dev/null || { echo "run_side_by_side: zebraidx not found (apt-get install idzebra-2.0)" >&2; exit 2; }
WORK=$(mktemp -d /tmp/vk-bench.XXXXXX)
DATA=${5:-$WORK/data}
mkdir -p "$DATA"
DATA=$(cd "$DATA" && pwd)
PIDS=()
WITH_PG=${WITH_PG:-1}
PGDIR=$WORK/pg
cleanup() {
  bench_stop_servers
  [[ $WITH_PG == 1 ]] && bash "$HERE/scripts/pg_cluster.sh" destroy "$PGDIR" || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# The demo instance gives vk9000.ini and the layout (every hit counted: the largest hit count is
# below the record count); its store is linked in per size below.
bench_demo_instance "$VK9000" "$HERE" "$WORK/vk"

# vk9000 on PostgreSQL: a second instance whose back-end is a database of a throw-away cluster.
if [[ $WITH_PG == 1 ]]; then
  bench_pg_start "$HERE" "$PGDIR"
  bench_pg_instance "$WORK/vk" "$WORK/vkpg" "$PGHOST:$PGPORT" vk
fi

bench_cfgs "$HERE" "$WORK/cfgs"
sed -i 's/^key name="author" .*/key name="author"  fields="100a 110a 111a 700a 710a 711a"/' "$WORK/cfgs/keys.cfg"
GEN=${GEN:-books}
# Zebra's usmarc.abs with the same title and author fields as vk9000's keys.
bench_zebra_tab "$WORK/zebra-tab"
# QUERY=left: left-truncated words (attribute 5=2); QUERY=mask: masked words (5=101 "#" any
# characters, 5=104 "#" one character); both for the books generator's words. The default, words,
# is search_load's plain word lists. AUTHOR_TERMS and TITLE_TERMS still replace them.
case ${QUERY:-words} in
  left) TITLE_TERMS=${TITLE_TERMS:-5=2:story,5=2:ogy,5=2:ics,5=2:ture}; AUTHOR_TERMS=${AUTHOR_TERMS:-5=2:son,5=2:er} ;;
  mask) TITLE_TERMS=${TITLE_TERMS:-5=101:hist#y,5=101:th#ory,5=104:c#mputer,5=104:p#ysics}
        AUTHOR_TERMS=${AUTHOR_TERMS:-5=101:wil#,5=104:m#ller} ;;
  words) ;;
  *) echo "run_side_by_side: QUERY is words, left or mask" >&2; exit 2 ;;
esac
terms_for() { if [[ $1 == 1003 ]]; then echo "${AUTHOR_TERMS:-}"; else echo "${TITLE_TERMS:-}"; fi; }

printf "%-8s %-7s %-6s %9s %9s %9s %6s %12s %12s %12s %9s %9s %9s %5s %9s\n" records clients use "vk req/s" "pg req/s" \
  "zb req/s" ratio "vk s.p99 ms" "pg s.p99 ms" "zb s.p99 ms" "vk hits" "pg hits" "zb hits" load "p99 vk/zb"
for n in $SIZES; do
  MRC=$DATA/$GEN-$n.mrc
  bench_records "$HERE" "$GEN" "$MRC" "$n"
  # vk9000: a store holding exactly these records.
  STORE=$DATA/vk-$GEN-$n.strata
  ZDIR=$DATA/zebra-$GEN-$n
  if [[ ${REBUILD:-0} == 1 || ! -s $STORE ]]; then
    l0=$(bench_load1)
    bench_make_store "$STRATA" "$STORE" "$WORK/cfgs" "$MRC"
    rm -rf "$ZDIR"
    bench_zebra_cfg "$ZDIR" "$WORK/zebra-tab" "$ZDIR/reg" "$ZDIR/lock"
    t2=$(date +%s.%N)
    bench_zebra_index "$ZDIR" "$MRC"
    t3=$(date +%s.%N)
    python3 - "$n" "$BENCH_LOAD_SECONDS" "$t2" "$t3" "$l0" "$(bench_load1)" <<'PY'
import sys
n, vk, t2, t3 = int(sys.argv[1]), *map(float, sys.argv[2:5])
zb = t3 - t2
print(f"load {n} records: strata load {vk:.1f} s ({n / vk:.0f} records/s), zebraidx {zb:.1f} s "
      f"({n / zb:.0f} records/s), strata/zebraidx rate {zb / vk:.2f}x (load {sys.argv[5]} -> {sys.argv[6]})")
PY
  fi
  ln -sf "$STORE" "$WORK/vk/backend/vk9000.strata"
  PGPORT_VK=""
  if [[ $WITH_PG == 1 ]]; then
    bench_pg_copy "$STRATA" "$STORE" "$PGDIR" "vk$n"
    echo "strata copy of $n records to PostgreSQL, verified: $BENCH_COPY_SECONDS s"
    bench_set_ini "$WORK/vkpg/vk9000.ini" Strata "DB Instance" "vk$n"
    PGPORT_VK=$(bench_free_port)
    bench_start_vk9000 "$VK9000" "$WORK/vkpg" "$PGPORT_VK" "$WORK/vkpg.log"
  fi
  VKPORT=$(bench_free_port)
  bench_start_vk9000 "$VK9000" "$WORK/vk" "$VKPORT" "$WORK/vk.log"
  ZPORT=$(bench_free_port)
  bench_start_zebra "$ZDIR" "$ZPORT" "$WORK/zebra-srv.log"
  runs=("4:$(terms_for 4)" "1003:$(terms_for 1003)")
  if [[ ${PER_TERM:-0} == 1 ]]; then
    runs=()
    per_use=${PER_TERM_USE:-1003}
    IFS=, read -ra words <<<"$(terms_for "$per_use")"
    for w in "${words[@]}"; do runs+=("$per_use:$w"); done
  fi
  for c in $CLIENTS; do
    for run in "${runs[@]}"; do
      use=${run%%:*}
      t=${run#*:}
      l=$(bench_load1)
      vk=$("$LOAD" 127.0.0.1 "$VKPORT" books "$c" "$SECONDS_PER_RUN" demo/demo F "$use" $t || true)
      pg=""
      [[ -n $PGPORT_VK ]] && pg=$("$LOAD" 127.0.0.1 "$PGPORT_VK" books "$c" "$SECONDS_PER_RUN" demo/demo F "$use" $t || true)
      zb=$("$LOAD" 127.0.0.1 "$ZPORT" books "$c" "$SECONDS_PER_RUN" - F "$use" $t || true)
      vr=$(bench_field rps "$vk"); zr=$(bench_field rps "$zb"); pr=$(bench_field rps "$pg")
      # Ratios only of the same work: both servers' mean hits within 2%.
      ratio=-; p99ratio=-
      if bench_hits_agree "$(bench_field hits "$vk")" "$(bench_field hits "$zb")"; then
        ratio=$(bench_ratio "$vr" "$zr")
        p99ratio=$(bench_ratio "$(bench_field search_p99 "$vk")" "$(bench_field search_p99 "$zb")" .3g)
      fi
      errs=""
      [[ $(bench_field errors "$vk") != 0 ]] && errs+="  vk errors=$(bench_field errors "$vk")"
      [[ $(bench_field errors "$zb") != 0 ]] && errs+="  zebra errors=$(bench_field errors "$zb")"
      [[ -n $pg && $(bench_field errors "$pg") != 0 ]] && errs+="  pg errors=$(bench_field errors "$pg")"
      label=$use
      [[ ${PER_TERM:-0} == 1 ]] && label="$use:$t p50 vk/zb $(bench_field search_p50 "$vk")/$(bench_field search_p50 "$zb")"
      printf "%-8s %-7s %-6s %9s %9s %9s %6s %12s %12s %12s %9s %9s %9s %5s %9s%s\n" "$n" "$c" "$label" "$vr" "${pr:--}" "$zr" \
        "$ratio" "$(bench_field search_p99 "$vk")" "$(bench_field search_p99 "$pg")" "$(bench_field search_p99 "$zb")" "$(bench_field hits "$vk")" \
        "$(bench_field hits "$pg")" "$(bench_field hits "$zb")" "$l" "$p99ratio" "$errs"
    done
  done
  bench_stop_servers
  rm -f "$WORK/vk/backend/vk9000.strata"
  sleep 1
done
