# shellcheck shell=bash disable=SC2034  # BENCH_*_SECONDS are read by the scripts that source this
# Shared pieces of the side-by-side bench scripts (bench/search, bench/sru, bench/pg, bench/sort): ports, the
# demo instance's vk9000.ini, generated records and their store, Zebra's register, a throw-away
# PostgreSQL cluster, the servers' processes. Sourced, never run: defines functions and nothing
# else. Servers the functions start are appended to the caller's PIDS array (bench_stop_servers
# ends them). Paths are given as arguments; SRC is the source tree where a function needs it.

# bench_free_port: prints a free TCP port on 127.0.0.1.
bench_free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# bench_wait_port PORT: waits up to 30 s for 127.0.0.1:PORT to accept a connection; 1 if it never does.
bench_wait_port() { for _ in $(seq 300); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

# bench_load1: the machine's load average over the last minute.
bench_load1() { cut -d' ' -f1 /proc/loadavg; }

# bench_field NAME LINE: the number after NAME= in a load client's LINE (empty when absent).
bench_field() { sed -n "s/.*[ ^]$1=\([0-9.]*\).*/\1/p" <<<" $2"; }

# bench_ratio A B [FORMAT=.2f]: A / B in FORMAT, or "-" when B is empty or zero.
bench_ratio() {
  python3 -c "import sys; a, b = float(sys.argv[1] or 0), float(sys.argv[2] or 0); print(f'{a / b:{sys.argv[3]}}' if b else '-')" \
    "$1" "$2" "${3:-.2f}"
}

# bench_hits_agree A B: true when mean hit counts A and B are both given and within 2% of each other.
bench_hits_agree() {
  python3 -c "import sys; a, b = sys.argv[1:3]; sys.exit(0 if a and b and float(a) > 0 and abs(float(a) - float(b)) <= 0.02 * float(a) else 1)" \
    "$1" "$2"
}

# bench_set_ini FILE SECTION KEY VALUE: sets KEY=VALUE in [SECTION] of FILE (Latin-1), adding the
# key, or the section at the end, when missing.
bench_set_ini() {
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

# bench_demo_instance VK9000 SRC HOME: the demo instance (vk9000 --demo) made in HOME and stopped
# once it listened, without its store, every hit counted ([Server] MaxSearchHits=100000000).
bench_demo_instance() {
  local vk9000=$1 src=$2 home=$3 demo log=$3.demo.log
  VELKAN_SOURCE_DIR=$src "$vk9000" --demo "$home" --port "$(bench_free_port)" > "$log" 2>&1 &
  demo=$!
  for _ in $(seq 600); do grep -qs "listening on port" "$log" && break; sleep 0.5; done
  kill "$demo"; wait "$demo" 2>/dev/null || true
  grep -qs "listening on port" "$log" || { echo "bench: the demo instance did not start (see $log)" >&2; return 1; }
  rm -f "$home/backend/"*.strata*
  bench_set_ini "$home/vk9000.ini" Server MaxSearchHits 100000000
}

# bench_records SRC GEN FILE N: writes N records of data/demo/gendemo.py GEN to FILE unless it exists.
bench_records() { [[ -s $3 ]] || python3 "$1/data/demo/gendemo.py" "$2" "$3" "$4"; }

# bench_cfgs SRC DIR: the demo books database's cfgs in DIR, in GBK (the store's code page).
bench_cfgs() {
  mkdir -p "$2"
  for f in "$1"/data/demo/books/cfgs/*.cfg; do iconv -f UTF-8 -t GBK "$f" > "$2/$(basename "$f")"; done
}

# bench_make_store STRATA STORE CFGS FILE: a new store holding database "books" (CFGS) loaded from
# FILE (auto encoding) and the account demo/demo; BENCH_LOAD_SECONDS is the load's own time.
bench_make_store() {
  local strata=$1 store=$2 t0 t1
  rm -f "$store" "$store-wal" "$store-shm"
  "$strata" create "$store" >/dev/null
  "$strata" db add "$store" books --cfgs "$3" >/dev/null
  t0=$(date +%s.%N)
  "$strata" load "$store" books "$4" --format usmarc --encoding auto >/dev/null
  t1=$(date +%s.%N)
  "$strata" account add "$store" demo --password demo --rights rw >/dev/null
  BENCH_LOAD_SECONDS=$(python3 -c "import sys; print(float(sys.argv[2]) - float(sys.argv[1]))" "$t0" "$t1")
}

# bench_zebra_tab DIR: Zebra's stock usmarc.abs in DIR with 246 as title and 700/710/711 as
# Author, the fields vk9000's demo keys read.
bench_zebra_tab() {
  mkdir -p "$1"
  cp /usr/share/idzebra-2.0/tab/usmarc.abs "$1/usmarc.abs"
  cat >> "$1/usmarc.abs" <<'ABS'
elm 246			title		-
elm 246/?		title		!:w
elm 700			Author-name-personal	-
elm 700/?		Author-name-personal	!:w,!:p,Author:w,Author:p
elm 710			Author-name-corporate	-
elm 710/?		Author-name-corporate	!:w,!:p,Author:w,Author:p
elm 711			Author-name-conference	-
elm 711/?		Author-name-conference	!:w,!:p,Author:w,Author:p
ABS
}

# bench_zebra_cfg DIR TAB REGISTER LOCK: writes DIR/zebra.cfg for USMARC records with its profile
# in TAB, its register in REGISTER and its locks in LOCK (both folders made).
bench_zebra_cfg() {
  mkdir -p "$1" "$3" "$4"
  cat > "$1/zebra.cfg" <<CFG
profilePath: $2:/usr/share/idzebra-2.0/tab
attset: bib1.att
recordType: grs.marc.usmarc
register: $3:16G
lockDir: $4
CFG
}

# bench_zebra_index DIR FILE: zebraidx of FILE into database "books" with DIR/zebra.cfg, committed.
bench_zebra_index() {
  (cd "$1" && zebraidx -c zebra.cfg -d books update "$2" >/dev/null 2>&1 && zebraidx -c zebra.cfg commit >/dev/null 2>&1 || true)
}

# bench_start_vk9000 VK9000 HOME PORT LOG: vk9000 on HOME (result sets under HOME/rs-tmp), added
# to PIDS; returns once it listens on PORT, 1 (with its log) if it never does.
bench_start_vk9000() {
  mkdir -p "$2/rs-tmp"
  TMPDIR=$2/rs-tmp "$1" --home "$2" --port "$3" > "$4" 2>&1 &
  PIDS+=($!)
  bench_wait_port "$3" || { cat "$4" >&2; return 1; }
}

# bench_start_zebra DIR PORT LOG [ARGS...]: zebrasrv in DIR (with ARGS, default -c zebra.cfg on
# 127.0.0.1:PORT), added to PIDS; returns once it listens on PORT.
bench_start_zebra() {
  local dir=$1 port=$2 log=$3
  shift 3
  (( $# )) || set -- -c zebra.cfg "tcp:127.0.0.1:$port"
  (cd "$dir" && exec zebrasrv -l "$log" "$@") &
  PIDS+=($!)
  bench_wait_port "$port"
}

# bench_stop_servers: ends every process in PIDS, waits for each, and empties PIDS.
bench_stop_servers() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  PIDS=()
}

# bench_pg_start SRC DIR: a throw-away PostgreSQL cluster in DIR (scripts/pg_cluster.sh), its
# PGHOST, PGPORT, PGUSER and PGPASSWORD exported.
bench_pg_start() {
  bash "$1/scripts/pg_cluster.sh" start "$2"
  set -a; . "$2/env"; set +a
}

# bench_pg_copy STRATA STORE PGDIR DB: creates database DB in the cluster of PGDIR and copies STORE
# into it with strata copy; BENCH_COPY_SECONDS is the copy's time.
bench_pg_copy() {
  local t0 t1
  psql -qXd postgres -c "CREATE DATABASE $4" >/dev/null
  t0=$(date +%s.%N)
  "$1" copy "$2" "pg:$(cat "$3/conninfo") dbname=$4" >/dev/null
  t1=$(date +%s.%N)
  BENCH_COPY_SECONDS=$(python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.1f}')" "$t0" "$t1")
}

# bench_pg_instance FROM TO ADDRESS DB: copies the instance FROM to TO, without a store, its
# back-end the network one (netchan32.dll) on database DB at ADDRESS (host:port) with PGUSER and
# PGPASSWORD.
bench_pg_instance() {
  cp -r "$1" "$2"
  rm -f "$2/backend/"*.strata*
  bench_set_ini "$2/vk9000.ini" common DBIPAddress "$3"
  bench_set_ini "$2/vk9000.ini" Strata interface netchan32.dll
  bench_set_ini "$2/vk9000.ini" Strata "DB Instance" "$4"
  bench_set_ini "$2/vk9000.ini" Backend ServerUser "$PGUSER"
  bench_set_ini "$2/vk9000.ini" Backend ServerPassword "$PGPASSWORD"
}
