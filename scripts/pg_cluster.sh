#!/usr/bin/env bash
# A throw-away PostgreSQL 15 cluster for the tests: its own data folder, listening on 127.0.0.1 at
# a free port, password (scram) login for TCP. Works as root (the server runs as the "postgres"
# account, which postgresql-common creates) and as an ordinary user.
#
#   scripts/pg_cluster.sh start DIR   initdb and start; writes DIR/env (PGHOST, PGPORT, PGUSER,
#                                     PGPASSWORD lines), DIR/conninfo, and DIR/cluster: the path of
#                                     the cluster's own folder under /tmp (data, socket, log), which
#                                     the server account can reach wherever DIR is;
#                                     PG_STAT_STATEMENTS=1 loads pg_stat_statements
#   scripts/pg_cluster.sh stop DIR    stop the server, keep the data (for fault tests)
#   scripts/pg_cluster.sh resume DIR  start a stopped cluster again on the same port
#   scripts/pg_cluster.sh destroy DIR stop the server and remove DIR
#   scripts/pg_cluster.sh standby DIR PRIMARY
#                                     a hot standby of the running cluster of folder PRIMARY
#                                     (pg_basebackup -R: streaming replication), started on a
#                                     free port; DIR gets the same files as for start (the
#                                     password is the primary's); stop, resume, destroy apply
set -euo pipefail

cmd=${1:-}
dir=${2:-}
[[ -n "$cmd" && -n "$dir" ]] || { echo "usage: $0 start|stop|resume|destroy DIR | standby DIR PRIMARY" >&2; exit 2; }

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[[ -x "$bindir/initdb" ]] || { echo "pg_cluster: PostgreSQL server binaries not found (apt-get install postgresql-15)" >&2; exit 1; }

# Runs a server program as the account that owns the cluster.
as_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# The cluster's own folder, recorded in DIR/cluster ("" when none).
cluster_of() { [[ -f "$1/cluster" ]] && cat "$1/cluster" || true; }

stop_left_over() {
  local c
  c=$(cluster_of "$1")
  if [[ -n "$c" && -f "$c/data/postmaster.pid" ]]; then
    as_owner "$bindir/pg_ctl" -D "$c/data" -m immediate -w -t 60 stop >/dev/null 2>&1 || true
  fi
  [[ -n "$c" ]] && rm -rf "$c"
  return 0
}

# DIR made anew (a cluster of an interrupted run stopped first) with the cluster's own folder
# under /tmp: sets dir (absolute) and c.
new_folders() {
  stop_left_over "$dir"
  rm -rf "$dir"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  c=$(mktemp -d /tmp/velkan-pg.XXXXXX)
  chmod 755 "$c"
  echo "$c" > "$dir/cluster"
}

case "$cmd" in
start)
  new_folders
  password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  port=$(free_port)
  echo "$password" > "$c/pwfile"
  [[ $(id -u) -eq 0 ]] && chown -R postgres: "$c"
  as_owner "$bindir/initdb" -D "$c/data" -U velkan --pwfile="$c/pwfile" -A scram-sha-256 \
    --auth-local=trust -E UTF8 --locale=C.UTF-8 --no-sync >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; exit 1; }
  as_owner rm -f "$c/pwfile"
  cat >>"$c/data/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$c'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
shared_buffers = 64MB
EOF
  # PG_STAT_STATEMENTS=1: statement figures for profiling (CREATE EXTENSION pg_stat_statements).
  if [[ ${PG_STAT_STATEMENTS:-0} == 1 ]]; then
    printf "shared_preload_libraries = 'pg_stat_statements'\npg_stat_statements.track = all\n" >>"$c/data/postgresql.conf"
  fi
  printf 'PGHOST=127.0.0.1\nPGPORT=%s\nPGUSER=velkan\nPGPASSWORD=%s\n' "$port" "$password" > "$dir/env"
  printf "host=127.0.0.1 port=%s user=velkan password=%s" "$port" "$password" > "$dir/conninfo"
  as_owner "$bindir/pg_ctl" -D "$c/data" -l "$c/server.log" -w -t 60 start >/dev/null
  ;;
stop)
  as_owner "$bindir/pg_ctl" -D "$(cluster_of "$dir")/data" -m fast -w -t 60 stop >/dev/null
  ;;
resume)
  c=$(cluster_of "$dir")
  as_owner "$bindir/pg_ctl" -D "$c/data" -l "$c/server.log" -w -t 60 start >/dev/null
  ;;
destroy)
  stop_left_over "$dir"
  rm -rf "$dir"
  ;;
standby)
  primary=${3:-}
  [[ -f "$primary/env" ]] || { echo "pg_cluster: $primary holds no cluster (start it first)" >&2; exit 2; }
  pport=$(sed -n 's/^PGPORT=//p' "$primary/env")
  password=$(sed -n 's/^PGPASSWORD=//p' "$primary/env")
  new_folders
  [[ $(id -u) -eq 0 ]] && chown postgres: "$c"
  port=$(free_port)
  as_owner env PGPASSWORD="$password" "$bindir/pg_basebackup" -h 127.0.0.1 -p "$pport" -U velkan \
    -D "$c/data" -R -X stream --checkpoint=fast --no-sync >"$dir/basebackup.log" 2>&1 \
    || { cat "$dir/basebackup.log" >&2; exit 1; }
  cat >>"$c/data/postgresql.conf" <<EOF
port = $port
unix_socket_directories = '$c'
hot_standby = on
EOF
  printf 'PGHOST=127.0.0.1\nPGPORT=%s\nPGUSER=velkan\nPGPASSWORD=%s\n' "$port" "$password" > "$dir/env"
  printf "host=127.0.0.1 port=%s user=velkan password=%s" "$port" "$password" > "$dir/conninfo"
  as_owner "$bindir/pg_ctl" -D "$c/data" -l "$c/server.log" -w -t 60 start >/dev/null
  ;;
*)
  echo "usage: $0 start|stop|resume|destroy DIR" >&2
  exit 2
  ;;
esac
