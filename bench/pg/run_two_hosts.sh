#!/usr/bin/env bash
# Two vk9000 hosts on one PostgreSQL store: a primary and one hot standby (scripts/pg_cluster.sh),
# host A reading from the primary (no ReadServers), host B from the standby ([Backend]
# ReadServers). search_load (bench/search) drives host A alone, host B alone, then both at once;
# prints req/s per host and in all, the mean hit counts, the standby's transactions during the
# runs that should use it, and the load average. A record of what the machine gives, not a test.
# Usage: bench/pg/run_two_hosts.sh BUILD_DIR [RECORDS=10000] [CLIENTS=8] [SECONDS=10] [STORE]
# STORE: an embedded store (.strata, with the database "books" and the account demo/demo) to
# copy in instead of RECORDS generated ones (data/demo/gendemo.py books), e.g. a 100k bench store.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
RECORDS=${2:-10000}
CLIENTS=${3:-8}
SECS=${4:-10}
STORE=${5:-}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
LOAD=$BUILD/bin/search_load
STRATA=$BUILD/bin/strata
VK9000=$BUILD/bin/vk9000
CLUSTER=$HERE/scripts/pg_cluster.sh
. "$HERE/bench/lib/common.sh"
WORK=$(mktemp -d /tmp/vk-two.XXXXXX)
PIDS=()
cleanup() {
  bench_stop_servers
  bash "$CLUSTER" destroy "$WORK/standby" 2>/dev/null || true
  bash "$CLUSTER" destroy "$WORK/primary" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# The demo instance gives vk9000.ini and the cfgs; every hit is counted.
bench_demo_instance "$VK9000" "$HERE" "$WORK/vk"

if [[ -z $STORE ]]; then
  STORE=$WORK/books.strata
  bench_cfgs "$HERE" "$WORK/cfgs"
  bench_records "$HERE" books "$WORK/books.mrc" "$RECORDS"
  bench_make_store "$STRATA" "$STORE" "$WORK/cfgs" "$WORK/books.mrc"
fi

bench_pg_start "$HERE" "$WORK/primary"
bench_pg_copy "$STRATA" "$STORE" "$WORK/primary" vkbench
echo "strata copy to the primary, verified: $BENCH_COPY_SECONDS s"
bash "$CLUSTER" standby "$WORK/standby" "$WORK/primary"
PRIMARY=127.0.0.1:$PGPORT
STANDBY=127.0.0.1:$(sed -n 's/^PGPORT=//p' "$WORK/standby/env")
standby_xacts() {
  PGPORT=${STANDBY#*:} psql -qAtXd vkbench -c "SELECT xact_commit + xact_rollback FROM pg_stat_database WHERE datname = 'vkbench'"
}

start_host() {  # NAME PORT [READSERVERS]
  local home=$WORK/$1
  bench_pg_instance "$WORK/vk" "$home" "$PRIMARY" vkbench
  [[ -n ${3:-} ]] && bench_set_ini "$home/vk9000.ini" Backend ReadServers "$3"
  bench_start_vk9000 "$VK9000" "$home" "$2" "$WORK/$1.log" || exit 1
}
PORT_A=$(bench_free_port)
start_host hostA "$PORT_A"
PORT_B=$(bench_free_port)
start_host hostB "$PORT_B" "$STANDBY"
run() { "$LOAD" 127.0.0.1 "$1" books "$CLIENTS" "$SECS" demo/demo F 4 || true; }

echo "records: $($STRATA list "pg:$(cat "$WORK/primary/conninfo") dbname=vkbench" | tr '\n' ' ')"
echo "primary $PRIMARY, standby $STANDBY; host A reads the primary, host B the standby; $CLIENTS clients per host, $SECS s, title words"
printf "%-10s %10s %10s %10s %10s %10s %12s %6s\n" run "A req/s" "B req/s" "all req/s" "A hits" "B hits" "standby tx" load
x0=$(standby_xacts); a=$(run "$PORT_A"); x1=$(standby_xacts)
printf "%-10s %10s %10s %10s %10s %10s %12s %6s\n" "A alone" "$(bench_field rps "$a")" - "$(bench_field rps "$a")" "$(bench_field hits "$a")" - $((x1 - x0)) "$(bench_load1)"
x0=$(standby_xacts); b=$(run "$PORT_B"); x1=$(standby_xacts)
printf "%-10s %10s %10s %10s %10s %10s %12s %6s\n" "B alone" - "$(bench_field rps "$b")" "$(bench_field rps "$b")" - "$(bench_field hits "$b")" $((x1 - x0)) "$(bench_load1)"
x0=$(standby_xacts)
run "$PORT_A" > "$WORK/a.out" &
ja=$!
b=$(run "$PORT_B")
wait "$ja"
a=$(cat "$WORK/a.out"); x1=$(standby_xacts)
all=$(python3 -c "import sys; print(f'{float(sys.argv[1] or 0) + float(sys.argv[2] or 0):.1f}')" "$(bench_field rps "$a")" "$(bench_field rps "$b")")
printf "%-10s %10s %10s %10s %10s %10s %12s %6s\n" "A+B" "$(bench_field rps "$a")" "$(bench_field rps "$b")" "$all" "$(bench_field hits "$a")" "$(bench_field hits "$b")" $((x1 - x0)) "$(bench_load1)"
for out in "$a" "$b"; do [[ $(bench_field errors "$out") == 0 ]] || echo "errors: $out"; done
