#!/usr/bin/env bash
# Search + Present on the network back-end with the process cache off (CacheMegabytes=0), what a
# write-heavy load sees: a throw-away cluster with pg_stat_statements, one vk9000 on it,
# search_load (title words, Search + Present of 10 records) at each client count. Prints per run
# the req/s, the mean hits, the statements PostgreSQL ran per request (all of them, and each one
# above 0.05 a request) and the load average.
# Usage: bench/pg/run_uncached.sh BUILD_DIR STORE [CLIENTS="1 8"] [SECONDS=5]
# STORE: an embedded store (.strata) holding the database "books" and the account demo/demo,
# e.g. one made with strata load from a bench MARC file.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
STORE=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
CLIENTS=${3:-"1 8"}
SECS=${4:-5}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
LOAD=$BUILD/bin/search_load
# shellcheck source=../lib/common.sh
. "$HERE/bench/lib/common.sh"
WORK=$(mktemp -d /tmp/vk-uncached.XXXXXX)
PIDS=()
cleanup() {
  bench_stop_servers
  bash "$HERE/scripts/pg_cluster.sh" destroy "$WORK/pg" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

bench_demo_instance "$BUILD/bin/vk9000" "$HERE" "$WORK/demo"
PG_STAT_STATEMENTS=1 bench_pg_start "$HERE" "$WORK/pg"
bench_pg_copy "$BUILD/bin/strata" "$STORE" "$WORK/pg" vkbench
psql -qXd vkbench -c "CREATE EXTENSION pg_stat_statements" >/dev/null
bench_pg_instance "$WORK/demo" "$WORK/vk" "$PGHOST:$PGPORT" vkbench
bench_set_ini "$WORK/vk/vk9000.ini" Backend CacheMegabytes 0
PORT=$(bench_free_port)
bench_start_vk9000 "$BUILD/bin/vk9000" "$WORK/vk" "$PORT" "$WORK/vk.log"
# A warm-up run, so that the connections and their prepared statements exist.
"$LOAD" 127.0.0.1 "$PORT" books 8 1 demo/demo F 4 >/dev/null || true

for c in $CLIENTS; do
  psql -qXAtd vkbench -c "SELECT pg_stat_statements_reset()" >/dev/null
  l=$(bench_load1)
  out=$("$LOAD" 127.0.0.1 "$PORT" books "$c" "$SECS" demo/demo F 4 || true)
  n=$(bench_field requests "$out")
  echo "clients=$c rps=$(bench_field rps "$out") requests=$n hits=$(bench_field hits "$out") errors=$(bench_field errors "$out") search_p99=$(bench_field search_p99 "$out")ms load=$l"
  psql -qXAtd vkbench -F ' | ' -c "SELECT round(sum(calls)::numeric / $n, 2), 'statements per request (all)' FROM pg_stat_statements
     WHERE query NOT LIKE '%pg_stat_statements%'
     UNION ALL SELECT * FROM (SELECT round(calls::numeric / $n, 2) AS r, left(regexp_replace(query, '\s+', ' ', 'g'), 110)
     FROM pg_stat_statements WHERE query NOT LIKE '%pg_stat_statements%' ORDER BY calls DESC) s WHERE r >= 0.05"
done
