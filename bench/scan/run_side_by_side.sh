#!/usr/bin/env bash
# Scan side by side: vk9000 and Zebra scan the same records and index (the setup of
# bench/search/run_side_by_side.sh, whose load client scans instead of searching when
# SEARCH_LOAD_SCAN is set). One row per size, concurrency and use: scans per second, the scan p99
# of each server, the mean entries returned ("hits") and the p99 ratio vk/zebra (below 1: vk9000
# answers faster). The machine is shared: read the numbers as noisy.
# Usage: bench/scan/run_side_by_side.sh BUILD_DIR [SECONDS=5] [SIZES=1000000] [CLIENTS="1 8"] [DATA_DIR]
# Defaults: 20 terms per scan (SCAN_TERMS), the intl-nfc records (GEN), no PostgreSQL column
# (WITH_PG=1 adds it). DATA_DIR (e.g. /var/tmp/vkb) keeps the records, store and Zebra register.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export SEARCH_LOAD_SCAN=${SCAN_TERMS:-20} WITH_PG=${WITH_PG:-0} GEN=${GEN:-intl-nfc}
exec bash "$HERE/bench/search/run_side_by_side.sh" "$1" "${2:-5}" "${3:-1000000}" "${4:-1 8}" ${5:+"$5"}
