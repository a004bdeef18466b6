#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: unit, integration and interop tests
# (ctest), then a short smoke run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300
if [[ -x scripts/fuzz.sh ]]; then
  scripts/fuzz.sh smoke "${FUZZ_SECONDS:-30}"
fi
