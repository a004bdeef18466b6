#!/usr/bin/env bash
# Side-by-side Search + Present load run: vk9000 on its embedded store, vk9000 on PostgreSQL (the
# network back-end, netchan32.dll, in a throw-away cluster; WITH_PG=0 leaves it out) and Zebra
# (Debian's idzebra-2.0) serve the same generated MARC 21 records (data/demo/gendemo.py books),
# search_load drives each with each count
# of concurrent associations, a title word (use 4) and a surname (use 1003) in turn. Both servers
# count every hit (vk9000's MaxSearchHits is raised above the record count). Prints one row per
# size, concurrency and use: requests per second of each server, their ratio, the search p99 of
# each, the mean hit counts, the machine's load average at the time and the p99 ratio vk/zebra.
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
command -v zebraidx >/dev/null || { echo "run_side_by_side: zebraidx not found (apt-get install idzebra-2.0)" >&2; exit 2; }
WORK=$(mktemp -d /tmp/vk-bench.XXXXXX)
DATA=${5:-$WORK/data}
mkdir -p "$DATA"
DATA=$(cd "$DATA" && pwd)
PIDS=()
WITH_PG=${WITH_PG:-1}
PGDIR=$WORK/pg
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  [[ $WITH_PG == 1 ]] && bash "$HERE/scripts/pg_cluster.sh" destroy "$PGDIR" || true
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 300); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
load1() { cut -d' ' -f1 /proc/loadavg; }
field() { sed -n "s/.*[ ^]$1=\([0-9.]*\).*/\1/p" <<<" $2"; }

# The demo instance gives vk9000.ini and the layout; its store is replaced per size below.
VELKAN_SOURCE_DIR=$HERE "$VK9000" --demo "$WORK/vk" --port "$(free_port)" > "$WORK/demo.log" 2>&1 &
DEMO=$!
for _ in $(seq 600); do grep -qs "listening on port" "$WORK/demo.log" && break; sleep 0.5; done
kill "$DEMO"; wait "$DEMO" 2>/dev/null || true
# Count every hit: the largest hit count is below the record count.
sed -i -e '/^MaxSearchHits=/d' -e 's/^\[Server\]\r\?$/[Server]\nMaxSearchHits=100000000/' "$WORK/vk/vk9000.ini"
grep -q '^MaxSearchHits=100000000' "$WORK/vk/vk9000.ini" || { echo "run_side_by_side: no [Server] section in vk9000.ini" >&2; exit 2; }

# vk9000 on PostgreSQL: a second instance whose back-end is a database of a throw-away cluster.
if [[ $WITH_PG == 1 ]]; then
  bash "$HERE/scripts/pg_cluster.sh" start "$PGDIR"
  set -a; . "$PGDIR/env"; set +a
  cp -r "$WORK/vk" "$WORK/vkpg"
  rm -f "$WORK/vkpg/backend/"*.strata*
  python3 - "$WORK/vkpg/vk9000.ini" "$PGHOST:$PGPORT" "$PGUSER" "$PGPASSWORD" <<'PY'
import re, sys
path, address, user, password = sys.argv[1:]
text = open(path, encoding="latin-1").read()
for section, key, value in (("common", "DBIPAddress", address), ("Strata", "interface", "netchan32.dll"),
                            ("Backend", "ServerUser", user), ("Backend", "ServerPassword", password)):
    pattern = re.compile(rf"^{re.escape(key)}=.*$", re.M)
    if pattern.search(text):
        text = pattern.sub(f"{key}={value}", text)
    else:
        text = re.sub(rf"^\[{section}\]\s*$", f"[{section}]\n{key}={value}", text, count=1, flags=re.M)
open(path, "w", encoding="latin-1").write(text)
PY
fi

mkdir -p "$WORK/cfgs"
for f in "$HERE"/data/demo/books/cfgs/*.cfg; do iconv -f UTF-8 -t GBK "$f" > "$WORK/cfgs/$(basename "$f")"; done
sed -i 's/^key name="author" .*/key name="author"  fields="100a 110a 111a 700a 710a 711a"/' "$WORK/cfgs/keys.cfg"
GEN=${GEN:-books}
# Zebra's usmarc.abs with the same title and author fields as vk9000's keys.
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
  [[ -s $MRC ]] || python3 "$HERE/data/demo/gendemo.py" "$GEN" "$MRC" "$n"
  # vk9000: a store holding exactly these records.
  STORE=$DATA/vk-$GEN-$n.strata
  if [[ ${REBUILD:-0} == 1 || ! -s $STORE ]]; then
    rm -f "$STORE" "$STORE-wal" "$STORE-shm"
    "$STRATA" create "$STORE" >/dev/null
    "$STRATA" db add "$STORE" books --cfgs "$WORK/cfgs" >/dev/null
    l0=$(load1); t0=$(date +%s.%N)
    "$STRATA" load "$STORE" books "$MRC" --format usmarc --encoding auto >/dev/null
    t1=$(date +%s.%N)
    "$STRATA" account add "$STORE" demo --password demo --rights rw >/dev/null
    rm -rf "$DATA/zebra-$GEN-$n"; mkdir -p "$DATA/zebra-$GEN-$n/reg" "$DATA/zebra-$GEN-$n/lock"
    cat > "$DATA/zebra-$GEN-$n/zebra.cfg" <<CFG
profilePath: $WORK/zebra-tab:/usr/share/idzebra-2.0/tab
attset: bib1.att
recordType: grs.marc.usmarc
register: $DATA/zebra-$GEN-$n/reg:16G
lockDir: $DATA/zebra-$GEN-$n/lock
CFG
    t2=$(date +%s.%N)
    (cd "$DATA/zebra-$GEN-$n" && zebraidx -c zebra.cfg -d books update "$MRC" >/dev/null 2>&1 && zebraidx -c zebra.cfg commit >/dev/null 2>&1 || true)
    t3=$(date +%s.%N)
    python3 - "$n" "$t0" "$t1" "$t2" "$t3" "$l0" "$(load1)" <<'PY'
import sys
n, t0, t1, t2, t3 = int(sys.argv[1]), *map(float, sys.argv[2:6])
vk, zb = t1 - t0, t3 - t2
print(f"load {n} records: strata load {vk:.1f} s ({n / vk:.0f} records/s), zebraidx {zb:.1f} s "
      f"({n / zb:.0f} records/s), strata/zebraidx rate {zb / vk:.2f}x (load {sys.argv[6]} -> {sys.argv[7]})")
PY
  fi
  ln -sf "$STORE" "$WORK/vk/backend/vk9000.strata"
  PGPORT_VK=""
  if [[ $WITH_PG == 1 ]]; then
    psql -qXd postgres -c "CREATE DATABASE vk$n" >/dev/null
    t0=$(date +%s.%N)
    "$STRATA" copy "$STORE" "pg:$(cat "$PGDIR/conninfo") dbname=vk$n" >/dev/null
    t1=$(date +%s.%N)
    python3 -c "import sys; print(f'strata copy of {sys.argv[1]} records to PostgreSQL, verified: {float(sys.argv[3]) - float(sys.argv[2]):.1f} s')" "$n" "$t0" "$t1"
    sed -i "s/^DB Instance=.*/DB Instance=vk$n/" "$WORK/vkpg/vk9000.ini"
    PGPORT_VK=$(free_port)
    mkdir -p "$WORK/vkpg/rs-tmp"
    TMPDIR=$WORK/vkpg/rs-tmp "$VK9000" --home "$WORK/vkpg" --port "$PGPORT_VK" > "$WORK/vkpg.log" 2>&1 &
    PIDS+=($!)
    wait_port "$PGPORT_VK"
  fi
  VKPORT=$(free_port)
  mkdir -p "$WORK/vk/rs-tmp"
  TMPDIR=$WORK/vk/rs-tmp "$VK9000" --home "$WORK/vk" --port "$VKPORT" > "$WORK/vk.log" 2>&1 &
  PIDS+=($!)
  wait_port "$VKPORT"
  ZPORT=$(free_port)
  (cd "$DATA/zebra-$GEN-$n" && exec zebrasrv -l "$WORK/zebra-srv.log" -c zebra.cfg "tcp:127.0.0.1:$ZPORT") &
  PIDS+=($!)
  wait_port "$ZPORT"
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
      l=$(load1)
      vk=$("$LOAD" 127.0.0.1 "$VKPORT" books "$c" "$SECONDS_PER_RUN" demo/demo F "$use" $t || true)
      pg=""
      [[ -n $PGPORT_VK ]] && pg=$("$LOAD" 127.0.0.1 "$PGPORT_VK" books "$c" "$SECONDS_PER_RUN" demo/demo F "$use" $t || true)
      zb=$("$LOAD" 127.0.0.1 "$ZPORT" books "$c" "$SECONDS_PER_RUN" - F "$use" $t || true)
      vr=$(field rps "$vk"); zr=$(field rps "$zb"); pr=$(field rps "$pg")
      ratio=$(python3 -c "import sys; a, b = float(sys.argv[1] or 0), float(sys.argv[2] or 0); print(f'{a / b:.2f}' if b else '-')" "$vr" "$zr")
      p99ratio=$(python3 -c "import sys; a, b = float(sys.argv[1] or 0), float(sys.argv[2] or 0); print(f'{a / b:.3g}' if b else '-')" \
        "$(field search_p99 "$vk")" "$(field search_p99 "$zb")")
      errs=""
      [[ $(field errors "$vk") != 0 ]] && errs+="  vk errors=$(field errors "$vk")"
      [[ $(field errors "$zb") != 0 ]] && errs+="  zebra errors=$(field errors "$zb")"
      [[ -n $pg && $(field errors "$pg") != 0 ]] && errs+="  pg errors=$(field errors "$pg")"
      label=$use
      [[ ${PER_TERM:-0} == 1 ]] && label="$use:$t p50 vk/zb $(field search_p50 "$vk")/$(field search_p50 "$zb")"
      printf "%-8s %-7s %-6s %9s %9s %9s %6s %12s %12s %12s %9s %9s %9s %5s %9s%s\n" "$n" "$c" "$label" "$vr" "${pr:--}" "$zr" \
        "$ratio" "$(field search_p99 "$vk")" "$(field search_p99 "$pg")" "$(field search_p99 "$zb")" "$(field hits "$vk")" \
        "$(field hits "$pg")" "$(field hits "$zb")" "$l" "$p99ratio" "$errs"
    done
  done
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  PIDS=()
  rm -f "$WORK/vk/backend/vk9000.strata"
  sleep 1
done
