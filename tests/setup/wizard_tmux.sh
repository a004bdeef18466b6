#!/usr/bin/env bash
# The terminal wizard driven in tmux (send-keys, capture-pane), checking the screens and the files:
#  1. a first installation: new instance, programs copied to a new folder, network mode after the
#     missing-address message;
#  2. a re-installation of that instance with the copied SetupVelkan: the registered folder and the
#     ini's settings come back, a running vk9000 is closed on request, a taken port is answered No
#     and then Yes, local mode is chosen;
#     and the store page makes the demo store;
#  3. that local instance served as the wizard left it: yaz-client in tmux, anonymous, finds a
#     record.
# Usage: wizard_tmux.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
command -v tmux >/dev/null || { echo "wizard_tmux: tmux is missing (scripts/deps.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
sock="$work/tmux.sock"
pids=()
cleanup() {
  tmux -S "$sock" kill-server 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  bash "$src/scripts/pg_cluster.sh" destroy "$work/pg" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export ORVANE_CONFIG_DIR="$work/cfg"

fail() {
  echo "wizard_tmux: $*" >&2
  echo "---- screen ----" >&2
  tmux -S "$sock" capture-pane -p -t wiz >&2 || true
  exit 1
}
screen() { tmux -S "$sock" capture-pane -p -t wiz; }
# wait_for TEXT...: every text on the screen within 30 s (the copy step is slow on a busy machine;
# WAIT_TENTHS sets another limit).
wait_for() {
  for _ in $(seq "${WAIT_TENTHS:-300}"); do
    local all=1
    for t in "$@"; do screen | grep -qF -- "$t" || all=0; done
    ((all)) && return 0
    sleep 0.1
  done
  fail "screen never showed: $*"
}
# wait_gone TEXT: the text off the screen within 30 s.
wait_gone() {
  for _ in $(seq 300); do
    screen | grep -qF -- "$1" || return 0
    sleep 0.1
  done
  fail "screen kept showing: $1"
}
keys() { tmux -S "$sock" send-keys -t wiz "$@"; sleep 0.05; }
type_in() { keys C-u; tmux -S "$sock" send-keys -t wiz -l "$1"; sleep 0.05; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
ini() { sed -n "s/^$1=//p" "$work/inst/vk9000.ini" | tr -d '\r'; }
expect_eq() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }
starts=0
start_wizard() {
  # A fresh tmux server on a socket of its own: a new session on the socket of a server that is
  # still shutting down fails with "server exited unexpectedly" on a busy machine.
  tmux -S "$sock" kill-server 2>/dev/null || true
  starts=$((starts + 1))
  sock="$work/tmux.$starts.sock"
  tmux -u -S "$sock" new-session -d -s wiz -x 110 -y 40 \
    "env LANG=C.UTF-8 TERM=screen ORVANE_CONFIG_DIR='$ORVANE_CONFIG_DIR' $(printf '%q ' "$@"); echo SETUP-EXIT=\$?; sleep 60"
}

# ---- 1. first installation -------------------------------------------------------------------
port1=$(free_port)
start_wizard "$bin/SetupVelkan"
wait_for "欢迎使用 Orvane-1 Z39.50服务器安装程序" "(1/11)"
keys Enter
wait_for "实例名(I):" "[vk9000"
type_in lib1; keys Enter
wait_for "实例目录(F):" "实例 lib1 是新实例。"
type_in "$work/inst"; keys Enter
wait_for "程序目录(P):" "[$bin"
type_in "$work/prog/bin"; keys Enter
wait_for "磁盘空间" "程序目录 $work/prog/bin 可用空间"
keys Enter
wait_for "准备安装" "实例名:   lib1"
keys Enter
wait_for "复制文件" "100%" "文件复制完毕"
screen | grep -qF "< 上一步 >" && fail "the copy page offers 上一步 after the files are copied"
keys Enter
# 210 needs root; anyone else is offered 2100 and told why.
if [[ $(id -u) == 0 ]]; then default_port=210; else default_port=2100; fi
wait_for "安装 Orvane-1 Z39.50服务器 -- 设置端口号" "Z39.50服务器 TCP 监听端口号:" "[$default_port" "缺省监听端口号为"
if [[ $default_port == 2100 ]]; then wait_for "只有 root 才能监听"; fi
type_in "$port1"; keys Enter
wait_for "安装 Orvane-1 Z39.50服务器 -- Strata接口" "( ) 本地模式[localcore32.dll] (L)" "(*) 网络模式[netchan32.dll] (N)"
keys Enter   # no address yet
wait_for "尚未指定'Z39.50服务器要连接的 Lumo server或Kaltro server地址'..."
keys Enter
wait_gone "尚未指定"
keys M-a; type_in db.example; keys Enter
wait_for "安装 Orvane-1 Z39.50服务器 -- 数据库存储" "网络模式: Z39.50服务器使用网络上的"
keys Enter
wait_for "安装 Orvane-1 Z39.50服务器 -- 完成" "监听端口: $port1" "Strata接口: netchan32.dll" "服务器地址: db.example"
keys Enter
wait_for "SETUP-EXIT=0" "SetupVelkan: instance lib1 installed in $work/inst"

expect_eq "ListenerPort" "$(ini ListenerPort)" "$port1"
expect_eq "interface" "$(ini interface)" "netchan32.dll"
expect_eq "DBIPAddress" "$(ini DBIPAddress)" "db.example"
expect_eq "DB Instance" "$(ini 'DB Instance')" "Lumo"
grep -qx "Program=$work/prog/bin/vk9000" "$work/cfg/vk9000-instance.ini" || fail "registry: $(cat "$work/cfg/vk9000-instance.ini")"
grep -qx "db.example" "$work/cfg/netchan32-hosts.txt" || fail "host list lacks db.example"
for f in bin/vk9000 bin/strata bin/SetupVelkan lib/libberkit.so lib/libvelkansvc.so \
         share/velkan/scripts/make-demo-store.sh share/velkan/data/demo/books/sample-marc21.mrc; do
  [[ -s "$work/prog/$f" ]] || fail "not copied: $f"
done

# ---- 2. re-installation with the copied programs, a vk9000 running, port 2 taken --------------
# vk9000 does not start without its back-end: this one serves a throw-away cluster, and the
# ini names db.example again once it runs.
bash "$src/scripts/pg_cluster.sh" start "$work/pg"
(set -a; . "$work/pg/env"; psql -qXd postgres -c 'CREATE DATABASE "Lumo"' >/dev/null)
"$work/prog/bin/strata" create "pg:$(cat "$work/pg/conninfo") dbname=Lumo" >/dev/null
cp "$work/inst/vk9000.ini" "$work/ini.wizard"
pgport=$(sed -n 's/^PGPORT=//p' "$work/pg/env")
sed -i -e "s/^DBIPAddress=.*/DBIPAddress=127.0.0.1:$pgport/" "$work/inst/vk9000.ini"
printf '[Backend]\nServerUser=velkan\nServerPassword=%s\n' "$(sed -n 's/^PGPASSWORD=//p' "$work/pg/env")" >> "$work/inst/vk9000.ini"
"$work/prog/bin/vk9000" --home "$work/inst" --port 0 >"$work/vk9000.out" 2>&1 &
pids+=($!); vk=$!
for _ in $(seq 100); do grep -q "listening on port" "$work/vk9000.out" && break; sleep 0.1; done
grep -q "listening on port" "$work/vk9000.out" || fail "vk9000 did not start: $(cat "$work/vk9000.out")"
cp "$work/ini.wizard" "$work/inst/vk9000.ini"
port2=$(free_port)
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(); time.sleep(120)' "$port2" &
pids+=($!); holder=$!

start_wizard "$work/prog/bin/SetupVelkan"
wait_for "欢迎使用"
keys Enter
wait_for "实例名(I):"
type_in lib1; keys Enter
wait_for "[$work/inst" "实例 lib1 已经安装过, 将在原目录上重新安装。"
keys Enter
wait_for "[$work/prog/bin"
keys Enter
wait_for "需要复制 0 个文件"
keys Enter
wait_for "准备安装"
keys Enter
wait_for "安装程序探测到下列 Lumo 程序正在运行:" "* vk9000(u).exe -- Lumo Z39.50务器" "(Y)关闭 (N)退出安装程序"
keys y
wait_gone "(Y)关闭 (N)退出安装程序"
wait_for "程序已在安装位置, 无需复制文件。"
for _ in $(seq 50); do kill -0 "$vk" 2>/dev/null || break; sleep 0.1; done
kill -0 "$vk" 2>/dev/null && fail "vk9000 still runs after the wizard closed it"
[[ -e "$work/inst/vk9000.pid" ]] && fail "vk9000.pid left behind"
keys Enter
wait_for "设置端口号" "[$port1"
type_in "$port2"; keys Enter
wait_for "安装程序发现端口 $port2 已经被某个服务程序占用。"
keys Enter   # the default answer is No
wait_gone "安装程序发现端口"
wait_for "设置端口号" "[$port2"
keys Enter
wait_for "安装程序发现端口 $port2"
keys y
wait_for "Strata接口" "(*) 网络模式[netchan32.dll] (N)" "[db.example"
keys M-l
wait_for "(*) 本地模式[localcore32.dll] (L)"
keys Enter
# The copied programs find the demo's builder that the first installation copied beside them.
wait_for "数据库存储" "它还不存在" "(*) 创建存储, 含演示数据库 books 和 unimarc (D)" "[x] 允许匿名访问"
keys Enter
WAIT_TENTHS=1200 wait_for "监听端口: $port2" "Strata接口: localcore32.dll" "(演示数据库)"
keys PageDown
wait_for "SETUP-EXIT=0"

expect_eq "ListenerPort" "$(ini ListenerPort)" "$port2"
expect_eq "interface" "$(ini interface)" "localcore32.dll"
expect_eq "DBIPAddress" "$(ini DBIPAddress)" "db.example"
expect_eq "registry entries" "$(grep -c '^\[' "$work/cfg/vk9000-instance.ini")" "1"

# ---- 3. the installed local instance serves as the wizard left it ------------------------------
kill "$holder"; wait "$holder" 2>/dev/null || true
expect_eq "DBUser" "$(ini DBUser)" "public"
expect_eq "AllowAnonymous" "$(ini AllowAnonymous)" "1"
"$work/prog/bin/vk9000" --home "$work/inst" >"$work/served.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "listening on port $port2" "$work/served.out" && break; sleep 0.1; done
grep -q "listening on port $port2" "$work/served.out" || fail "vk9000 did not serve: $(cat "$work/served.out")"
start_wizard yaz-client "tcp:127.0.0.1:$port2"
wait_for "Connection accepted"
keys "base books" Enter
keys "find @attr 1=4 computer" Enter
wait_for "Number of hits:"
screen | grep -q "Number of hits: [1-9]" || fail "no record found"
keys "show 1" Enter
wait_for "Record type: USmarc"
echo "wizard_tmux: first installation, re-installation with the demo store and the served search passed"
