#!/usr/bin/env bash
# Builds the Debian package velkan_<version>_<arch>.deb from a build tree with CPack and prints its
# path. The tree is packaged as it is when it holds the programs; otherwise it is built first.
# Usage: scripts/package.sh [BUILD_DIR [OUT_DIR]]      (defaults: build, BUILD_DIR/package)
# Install it with `apt-get install ./velkan_*.deb`; remove it with `apt-get remove velkan`.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-$build/package}
if [[ ! -x $build/bin/vk9000 || ! -x $build/bin/strata || ! -x $build/bin/SetupVelkan ]]; then
  scripts/build.sh "$build" >&2
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/velkan_*.deb
log="$out/cpack.log"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$log" 2>&1; then
  cat "$log" >&2
  echo "package: cpack failed (log above)" >&2
  exit 1
fi
rm -rf "$out/_CPack_Packages"
deb=$(ls "$out"/velkan_*.deb 2>/dev/null | head -n 1)
[[ -n $deb ]] || { echo "package: cpack made no velkan_*.deb in $out" >&2; exit 1; }
echo "$deb"
