#!/usr/bin/env bash
# Configures and builds the release tree in build/ (or the folder given as $1): every target, or
# only the targets named after the folder (scripts/build.sh build vk9000 strata). VELKAN_TESTS=OFF
# configures the tree without the tests (whose interop part needs the tests' peers installed).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKAN_TESTS="${VELKAN_TESTS:-ON}" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
