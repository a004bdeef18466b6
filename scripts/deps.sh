#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, if any is missing.
# Usage: scripts/deps.sh            (everything: build, tests, interop peers)
set -euo pipefail

PKGS=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libcli11-dev libfmt-dev libssl-dev
  yaz            # yaz-client, zoomsh, yaz-marcdump, yaz-ztest: the real peers of the interop tests
  idzebra-2.0    # zebraidx, zebrasrv: the peer of bench/search/run_side_by_side.sh (run time only)
  python3
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
