#!/usr/bin/env bash
# A throw-away PostgreSQL 15 cluster for the tests: its own data folder, listening on 127.0.0.1 at
# a free port, password (scram) login for TCP. Works as root (the server runs as the "postgres"
# account, which postgresql-common creates) and as an ordinary user.
#
#   scripts/pg_cluster.sh start DIR   initdb DIR/data and start; writes DIR/env (PGHOST, PGPORT,
#                                     PGUSER, PGPASSWORD lines) and DIR/conninfo
#   scripts/pg_cluster.sh stop DIR    stop the server, keep the data (for fault tests)
#   scripts/pg_cluster.sh resume DIR  start a stopped cluster again on the same port
#   scripts/pg_cluster.sh destroy DIR stop the server and remove DIR
set -euo pipefail

cmd=${1:-}
dir=${2:-}
[[ -n "$cmd" && -n "$dir" ]] || { echo "usage: $0 start|stop|resume|destroy DIR" >&2; exit 2; }

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

case "$cmd" in
start)
  # A cluster left running in DIR (an interrupted run) is stopped first.
  if [[ -f "$dir/data/postmaster.pid" ]]; then
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 60 stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  port=$(free_port)
  echo "$password" > "$dir/pwfile"
  if [[ $(id -u) -eq 0 ]]; then
    chown -R postgres: "$dir"
    # The server account must be able to reach DIR through its parents.
    p="$dir"
    while [[ "$p" != "/" ]]; do p=$(dirname "$p"); chmod o+x "$p" 2>/dev/null || true; done
  fi
  as_owner "$bindir/initdb" -D "$dir/data" -U velkan --pwfile="$dir/pwfile" -A scram-sha-256 \
    --auth-local=trust -E UTF8 --locale=C.UTF-8 --no-sync >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; exit 1; }
  cat >>"$dir/data/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$dir'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
shared_buffers = 64MB
EOF
  printf 'PGHOST=127.0.0.1\nPGPORT=%s\nPGUSER=velkan\nPGPASSWORD=%s\n' "$port" "$password" > "$dir/env"
  printf "host=127.0.0.1 port=%s user=velkan password=%s" "$port" "$password" > "$dir/conninfo"
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null
  ;;
stop)
  as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null
  ;;
resume)
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null
  ;;
destroy)
  if [[ -f "$dir/data/postmaster.pid" ]]; then
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w -t 60 stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  ;;
*)
  echo "usage: $0 start|stop|resume|destroy DIR" >&2
  exit 2
  ;;
esac
