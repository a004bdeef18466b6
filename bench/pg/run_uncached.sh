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
CLUSTER=$HERE/scripts/pg_cluster.sh
WORK=$(mktemp -d /tmp/vk-uncached.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  bash "$CLUSTER" destroy "$WORK/pg" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 300); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
field() { sed -n "s/.*[ ^]$1=\([0-9.]*\).*/\1/p" <<<" $2"; }

VELKAN_SOURCE_DIR=$HERE "$BUILD/bin/vk9000" --demo "$WORK/vk" --port "$(free_port)" > "$WORK/demo.log" 2>&1 &
DEMO=$!
for _ in $(seq 600); do grep -qs "listening on port" "$WORK/demo.log" && break; sleep 0.5; done
kill "$DEMO"; wait "$DEMO" 2>/dev/null || true
rm -f "$WORK/vk/backend/"*.strata*

PG_STAT_STATEMENTS=1 bash "$CLUSTER" start "$WORK/pg"
set -a; . "$WORK/pg/env"; set +a
psql -qXd postgres -c "CREATE DATABASE vkbench" >/dev/null
psql -qXd vkbench -c "CREATE EXTENSION pg_stat_statements" >/dev/null
"$BUILD/bin/strata" copy "$STORE" "pg:$(cat "$WORK/pg/conninfo") dbname=vkbench" >/dev/null
python3 - "$WORK/vk/vk9000.ini" "$PGHOST:$PGPORT" "$PGUSER" "$PGPASSWORD" <<'PY'
import re, sys
path, address, user, password = sys.argv[1:]
text = open(path, encoding="latin-1").read()
for section, key, value in (("Server", "MaxSearchHits", "100000000"), ("common", "DBIPAddress", address),
                            ("Strata", "interface", "netchan32.dll"), ("Strata", "DB Instance", "vkbench"),
                            ("Backend", "ServerUser", user), ("Backend", "ServerPassword", password),
                            ("Backend", "CacheMegabytes", "0")):
    pattern = re.compile(rf"^{re.escape(key)}=.*$", re.M)
    if pattern.search(text):
        text = pattern.sub(f"{key}={value}", text)
    elif re.search(rf"^\[{section}\]\s*$", text, re.M):
        text = re.sub(rf"^\[{section}\]\s*$", f"[{section}]\n{key}={value}", text, count=1, flags=re.M)
    else:
        text += f"\n[{section}]\n{key}={value}\n"
open(path, "w", encoding="latin-1").write(text)
PY
PORT=$(free_port)
"$BUILD/bin/vk9000" --home "$WORK/vk" --port "$PORT" > "$WORK/vk.log" 2>&1 &
PIDS+=($!)
wait_port "$PORT" || { cat "$WORK/vk.log" >&2; exit 1; }
# A warm-up run, so that the connections and their prepared statements exist.
"$LOAD" 127.0.0.1 "$PORT" books 8 1 demo/demo F 4 >/dev/null || true

for c in $CLIENTS; do
  psql -qXAtd vkbench -c "SELECT pg_stat_statements_reset()" >/dev/null
  l=$(cut -d' ' -f1 /proc/loadavg)
  out=$("$LOAD" 127.0.0.1 "$PORT" books "$c" "$SECS" demo/demo F 4 || true)
  n=$(field requests "$out")
  echo "clients=$c rps=$(field rps "$out") requests=$n hits=$(field hits "$out") errors=$(field errors "$out") search_p99=$(field search_p99 "$out")ms load=$l"
  psql -qXAtd vkbench -F ' | ' -c "SELECT round(sum(calls)::numeric / $n, 2), 'statements per request (all)' FROM pg_stat_statements
     WHERE query NOT LIKE '%pg_stat_statements%'
     UNION ALL SELECT * FROM (SELECT round(calls::numeric / $n, 2) AS r, left(regexp_replace(query, '\s+', ' ', 'g'), 110)
     FROM pg_stat_statements WHERE query NOT LIKE '%pg_stat_statements%' ORDER BY calls DESC) s WHERE r >= 0.05"
done
