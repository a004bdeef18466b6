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
WORK=$(mktemp -d /tmp/vk-two.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  bash "$CLUSTER" destroy "$WORK/standby" 2>/dev/null || true
  bash "$CLUSTER" destroy "$WORK/primary" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 300); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
field() { sed -n "s/.*[ ^]$1=\([0-9.]*\).*/\1/p" <<<" $2"; }
load1() { cut -d' ' -f1 /proc/loadavg; }
# Sets KEY=VALUE in [SECTION] of an ini file (added when missing).
set_ini() {
  python3 - "$@" <<'PY'
import re, sys
path, section, key, value = sys.argv[1:]
text = open(path, encoding="latin-1").read()
body = re.search(rf"^\[{re.escape(section)}\][^\n]*\n(?:(?!\[).*\n?)*", text, re.M)
line = f"{key}={value}\n"
if body is None:
    text += f"\n[{section}]\n{line}"
else:
    part = body.group(0)
    changed, n = re.subn(rf"^{re.escape(key)}=.*\n?", line, part, count=1, flags=re.M)
    text = text[:body.start()] + (changed if n else part.rstrip("\n") + "\n" + line) + text[body.end():]
open(path, "w", encoding="latin-1").write(text)
PY
}

# The demo instance gives vk9000.ini and the cfgs; every hit is counted.
VELKAN_SOURCE_DIR=$HERE "$VK9000" --demo "$WORK/vk" --port "$(free_port)" > "$WORK/demo.log" 2>&1 &
DEMO=$!
for _ in $(seq 600); do grep -qs "listening on port" "$WORK/demo.log" && break; sleep 0.5; done
kill "$DEMO"; wait "$DEMO" 2>/dev/null || true
set_ini "$WORK/vk/vk9000.ini" Server MaxSearchHits 100000000

if [[ -z $STORE ]]; then
  STORE=$WORK/books.strata
  mkdir -p "$WORK/cfgs"
  for f in "$HERE"/data/demo/books/cfgs/*.cfg; do iconv -f UTF-8 -t GBK "$f" > "$WORK/cfgs/$(basename "$f")"; done
  python3 "$HERE/data/demo/gendemo.py" books "$WORK/books.mrc" "$RECORDS"
  "$STRATA" create "$STORE" >/dev/null
  "$STRATA" db add "$STORE" books --cfgs "$WORK/cfgs" >/dev/null
  "$STRATA" load "$STORE" books "$WORK/books.mrc" --format usmarc --encoding auto >/dev/null
  "$STRATA" account add "$STORE" demo --password demo --rights rw >/dev/null
fi

bash "$CLUSTER" start "$WORK/primary"
set -a; . "$WORK/primary/env"; set +a
psql -qXd postgres -c "CREATE DATABASE vkbench" >/dev/null
t0=$(date +%s.%N)
"$STRATA" copy "$STORE" "pg:$(cat "$WORK/primary/conninfo") dbname=vkbench" >/dev/null
echo "strata copy to the primary, verified: $(python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.1f} s')" "$t0" "$(date +%s.%N)")"
bash "$CLUSTER" standby "$WORK/standby" "$WORK/primary"
PRIMARY=127.0.0.1:$PGPORT
STANDBY=127.0.0.1:$(sed -n 's/^PGPORT=//p' "$WORK/standby/env")
standby_xacts() {
  PGPORT=${STANDBY#*:} psql -qAtXd vkbench -c "SELECT xact_commit + xact_rollback FROM pg_stat_database WHERE datname = 'vkbench'"
}

start_host() {  # NAME [READSERVERS]: prints the port
  local home=$WORK/$1 port
  cp -r "$WORK/vk" "$home"
  rm -f "$home/backend/"*.strata*
  set_ini "$home/vk9000.ini" common DBIPAddress "$PRIMARY"
  set_ini "$home/vk9000.ini" Strata interface netchan32.dll
  set_ini "$home/vk9000.ini" Strata "DB Instance" vkbench
  set_ini "$home/vk9000.ini" Backend ServerUser "$PGUSER"
  set_ini "$home/vk9000.ini" Backend ServerPassword "$PGPASSWORD"
  [[ -n ${2:-} ]] && set_ini "$home/vk9000.ini" Backend ReadServers "$2"
  port=$(free_port)
  "$VK9000" --home "$home" --port "$port" > "$WORK/$1.log" 2>&1 &
  PIDS+=($!)
  wait_port "$port" || { cat "$WORK/$1.log" >&2; exit 1; }
  echo "$port"
}
PORT_A=$(start_host hostA)
PORT_B=$(start_host hostB "$STANDBY")
run() { "$LOAD" 127.0.0.1 "$1" books "$CLIENTS" "$SECS" demo/demo F 4 || true; }

echo "records: $($STRATA list "pg:$(cat "$WORK/primary/conninfo") dbname=vkbench" | tr '\n' ' ')"
echo "primary $PRIMARY, standby $STANDBY; host A reads the primary, host B the standby; $CLIENTS clients per host, $SECS s, title words"
printf "%-10s %10s %10s %10s %10s %10s %12s %6s\n" run "A req/s" "B req/s" "all req/s" "A hits" "B hits" "standby tx" load
x0=$(standby_xacts); a=$(run "$PORT_A"); x1=$(standby_xacts)
printf "%-10s %10s %10s %10s %10s %10s %12s %6s\n" "A alone" "$(field rps "$a")" - "$(field rps "$a")" "$(field hits "$a")" - $((x1 - x0)) "$(load1)"
x0=$(standby_xacts); b=$(run "$PORT_B"); x1=$(standby_xacts)
printf "%-10s %10s %10s %10s %10s %10s %12s %6s\n" "B alone" - "$(field rps "$b")" "$(field rps "$b")" - "$(field hits "$b")" $((x1 - x0)) "$(load1)"
x0=$(standby_xacts)
run "$PORT_A" > "$WORK/a.out" &
ja=$!
b=$(run "$PORT_B")
wait "$ja"
a=$(cat "$WORK/a.out"); x1=$(standby_xacts)
all=$(python3 -c "import sys; print(f'{float(sys.argv[1] or 0) + float(sys.argv[2] or 0):.1f}')" "$(field rps "$a")" "$(field rps "$b")")
printf "%-10s %10s %10s %10s %10s %10s %12s %6s\n" "A+B" "$(field rps "$a")" "$(field rps "$b")" "$all" "$(field hits "$a")" "$(field hits "$b")" $((x1 - x0)) "$(load1)"
for out in "$a" "$b"; do [[ $(field errors "$out") == 0 ]] || echo "errors: $out"; done
