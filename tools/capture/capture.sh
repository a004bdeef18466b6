#!/bin/sh
# Regenerates tests/data/captures/*.bin: the raw request APDUs yaz-client sends, recorded by
# relay.py between yaz-client and yaz-ztest, all on loopback.
#
# usage: tools/capture/capture.sh [BASE_PORT]   (uses BASE_PORT and BASE_PORT+1; default 19210)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out="$root/tests/data/captures"
marc="$root/tests/data/marc/sample.mrc"
port=${1:-19210}
ztport=$((port + 1))
work=$(mktemp -d)

for tool in yaz-client yaz-ztest python3; do
    command -v "$tool" >/dev/null || { echo "capture.sh: $tool not found" >&2; exit 2; }
done

yaz-ztest "tcp:127.0.0.1:$ztport" >"$work/ztest.log" 2>&1 &
ztpid=$!
trap 'kill "$ztpid" 2>/dev/null; rm -rf "$work"' EXIT INT TERM
sleep 1
mkdir -p "$out"

# run CASE "CLIENT ARGS" "COMMANDS" N...: runs yaz-client with COMMANDS (one per line) through
# the relay and stores the N-th request APDU of the session as CASE.bin.
run() {
    name=$1 args=$2 cmds=$3 nth=$4
    rm -f "$work"/apdu*.bin
    python3 "$here/relay.py" "$port" "$ztport" "$work" --timeout 20 &
    relpid=$!
    sleep 1
    # Sessions that set options before connecting open the connection themselves.
    case $cmds in
        *"open "*) host="" ;;
        *) host="tcp:127.0.0.1:$port" ;;
    esac
    # shellcheck disable=SC2086
    printf '%s\n' "$cmds" | (cd "$work" && timeout 20 yaz-client $args $host) \
        >"$work/$name.out" 2>&1 || true
    wait "$relpid" || true
    file=$(printf '%s/apdu%02d.bin' "$work" "$nth")
    if [ ! -s "$file" ]; then
        echo "capture.sh: $name: request $nth not captured" >&2
        cat "$work/$name.out" >&2
        exit 1
    fi
    cp "$file" "$out/$name.bin"
    echo "$name: $(wc -c <"$file") bytes"
}

long_term=$(printf 'a%.0s' $(seq 1 200))
cp "$marc" "$work/rec.mrc"

run init_noauth "" "quit" 1
run init_open "-u user/pw" "quit" 1
run init_idpass "" "auth user pw
open tcp:127.0.0.1:$port
quit" 1
run init_idpass_group "" "auth user group pw
open tcp:127.0.0.1:$port
quit" 1
run init_anonymous "" "auth -
open tcp:127.0.0.1:$port
quit" 1
run init_charset_utf8 "" "charset UTF-8
open tcp:127.0.0.1:$port
quit" 1
run search_one_attr "" "find @attr 1=4 computer
quit" 2
run search_multi_attr "" "find @attr 1=4 @attr 2=3 @attr 4=2 x
quit" 2
run search_and "" "find @and @attr 1=4 a @attr 1=1003 b
quit" 2
run search_or "" "find @or @attr 1=4 a @attr 1=1003 b
quit" 2
run search_not "" "find @not @attr 1=4 a @attr 1=1003 b
quit" 2
run search_prox "" "find @prox 0 3 1 2 k 2 @attr 1=4 a @attr 1=4 b
quit" 2
run search_set "" "find @set default
quit" 2
run search_two_db "" "base db1 db2
find @attr 1=4 x
quit" 2
run search_long_term "" "find @attr 1=4 $long_term
quit" 2
run present_plain "" "find @attr 1=4 computer
show 1
quit" 3
run present_elements_f "" "find @attr 1=4 computer
elements F
show 1
quit" 3
run present_elements_b "" "find @attr 1=4 computer
elements B
show 2+2
quit" 3
run present_refid "" "find @attr 1=4 computer
refid abc
show 1
quit" 3
run es_insert "" "update insert id1 <rec.mrc
quit" 2
run es_replace "" "update replace id1 <rec.mrc
quit" 2
run es_delete "" "update delete id1 <rec.mrc
quit" 2
run close "" "close
quit" 2
