#!/usr/bin/env bash
# The Debian package end to end, from the already-built tree: build it with CPack, install it with
# apt-get, let the installed vk9000 create and serve the demo instance without the source tree and
# search it with yaz-client, serve an instance installed by the installed SetupVelkan through the
# command of the vk9000@.service unit, then remove the package. The package is removed on every way
# out once it was installed; every step is bounded so that the whole stays well inside the test's
# time-out. Needs root (apt-get); skipped (exit 77) otherwise.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)

if [[ $(id -u) -ne 0 ]]; then
  echo "package_test: skipped: installing a package needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' velkan 2>/dev/null | grep -q "install ok installed"; then
  echo "package_test: velkan is installed on this machine already; remove it (apt-get remove -y velkan) first" >&2
  exit 1
fi

work=$(mktemp -d)
chmod 755 "$work"   # apt reads the .deb as its own user
installed=0
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if ((installed)); then
    DEBIAN_FRONTEND=noninteractive timeout 120 apt-get remove -y -qq velkan >/dev/null 2>&1 ||
      dpkg --remove velkan >/dev/null 2>&1 || echo "package_test: could not remove velkan" >&2
  fi
  # Nothing of the package is left, not even its "removed, scripts kept" state.
  dpkg --purge velkan >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() { echo "package_test: $*" >&2; exit 1; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# wait_listening LOG PORT SECONDS: the daemon's listening line in time.
wait_listening() {
  for _ in $(seq $(($3 * 10))); do
    grep -q "listening on port $2" "$1" && return 0
    sleep 0.1
  done
  fail "no vk9000 listening on port $2: $(cat "$1")"
}

deb=$(timeout 180 "$src/scripts/package.sh" "$build" "$work/pkg") || fail "packaging failed"
echo "package_test: built $(basename "$deb")"
deps=$(dpkg-deb -f "$deb" Depends)
for dep in python3 libsqlite3 libncursesw6; do
  [[ $deps == *"$dep"* ]] || fail "Depends lacks $dep: $deps"
done

installed=1
DEBIAN_FRONTEND=noninteractive timeout 120 apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
  fail "apt-get install failed: $(cat "$work/apt.log")"
for f in /usr/bin/vk9000 /usr/bin/strata /usr/bin/SetupVelkan /usr/lib/libvelkansvc.so \
         /usr/share/velkan/vk9000.ini.sample /usr/share/velkan/scripts/make-demo-store.sh \
         /usr/share/velkan/data/demo/gendemo.py /usr/lib/systemd/system/vk9000@.service; do
  [[ -e $f ]] || fail "not installed: $f"
done

# The installed programs alone: no source tree, no build tree, found on PATH.
run_env=(env -i PATH=/usr/bin:/bin HOME="$work" LANG=C.UTF-8 ORVANE_CONFIG_DIR="$work/cfg")
cd "$work"
port=$(free_port)
"${run_env[@]}" vk9000 --demo "$work/demo" --port "$port" >"$work/demo.log" 2>&1 &
pids+=($!)
wait_listening "$work/demo.log" "$port" 120
printf 'open tcp:127.0.0.1:%s\nbase books\nfind @attr 1=4 computer\nshow 1\nclose\nquit\n' "$port" |
  timeout 60 yaz-client >"$work/yaz.log" 2>&1 || true
hits=$(sed -n 's/^Number of hits: \([0-9]*\).*/\1/p' "$work/yaz.log" | head -n 1)
[[ ${hits:-0} -gt 0 ]] || fail "no hits from the installed demo instance: $(cat "$work/yaz.log")"
grep -q "^245 " "$work/yaz.log" || fail "no record shown: $(cat "$work/yaz.log")"
echo "package_test: the installed demo instance answered with $hits hits"

# An instance installed by the installed SetupVelkan, served by the unit's own command line.
port2=$(free_port)
printf '[setup]\nInstanceName=pkgtest\nInstanceFolder=%s/inst\nProgramFolder=/usr/bin\nPort=%s\nMode=local\n' \
  "$work" "$port2" >"$work/answers.ini"
"${run_env[@]}" SetupVelkan --answers "$work/answers.ini" >"$work/setup.log" 2>&1 ||
  fail "SetupVelkan --answers failed: $(cat "$work/setup.log")"
exec_start=$(sed -n 's/^ExecStart=//p' /usr/lib/systemd/system/vk9000@.service | sed 's/\$\$/$/g; s/%i/pkgtest/g')
# A local instance is served once its store exists (vk9000 names the command when it does not).
timeout 20 "${run_env[@]}" bash -c "$exec_start" >"$work/nostore.log" 2>&1 && fail "vk9000 served an instance without a store"
grep -q "strata create $work/inst/backend/Lumo.strata" "$work/nostore.log" || fail "no strata command: $(cat "$work/nostore.log")"
"${run_env[@]}" strata create "$work/inst/backend/Lumo.strata" >/dev/null
"${run_env[@]}" bash -c "$exec_start" >"$work/unit.log" 2>&1 &
pids+=($!)
wait_listening "$work/unit.log" "$port2" 30
echo "package_test: vk9000@pkgtest's command serves the registered instance on port $port2"

for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
wait 2>/dev/null || true
pids=()
DEBIAN_FRONTEND=noninteractive timeout 120 apt-get remove -y -qq velkan >"$work/apt.log" 2>&1 ||
  fail "apt-get remove failed: $(cat "$work/apt.log")"
installed=0
[[ ! -e /usr/bin/vk9000 && ! -e /usr/lib/libvelkansvc.so ]] || fail "files left after apt-get remove"
echo "package_test: installed, served, searched and removed"
