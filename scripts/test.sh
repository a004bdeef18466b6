#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: unit, integration and interop tests
# (ctest), then a short smoke run of every fuzz target. Ends with one summary line.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh || exit 1
scripts/build.sh build || exit 1

log=$(mktemp)
trap 'rm -f "$log"' EXIT
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300 2>&1 | tee "$log"
ctest_rc=${PIPESTATUS[0]}
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
failed=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
total=${total:-0}
failed=${failed:-0}

fuzz_rc=0
if [[ -x scripts/fuzz.sh ]]; then
  scripts/fuzz.sh smoke "${FUZZ_SECONDS:-30}" 2>&1 | tee "$log"
  fuzz_rc=${PIPESTATUS[0]}
  fuzz_passed=$(sed -n 's/^fuzz: \([0-9]*\) passed, \([0-9]*\) failed$/\1/p' "$log")
  fuzz_failed=$(sed -n 's/^fuzz: \([0-9]*\) passed, \([0-9]*\) failed$/\2/p' "$log")
  total=$((total + ${fuzz_passed:-0} + ${fuzz_failed:-0}))
  failed=$((failed + ${fuzz_failed:-0}))
  if ((fuzz_rc != 0 && ${fuzz_failed:-0} == 0)); then failed=$((failed + 1)); fi
fi

echo "$((total - failed)) passed, $failed failed"
((ctest_rc == 0 && fuzz_rc == 0))
