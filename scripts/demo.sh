#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server on the demo instance (./demo-instance,
# or $DEMO_DIR), creating it on the first run. Port 2100 unless --port N is given. Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only the build's own packages and the two programs the demo runs: the tests' peers (browser,
# PostgreSQL, Node.js, Zebra) are scripts/test.sh's business.
scripts/deps.sh build
VELKAN_TESTS=OFF scripts/build.sh build vk9000 strata
exec build/bin/vk9000 --demo "${DEMO_DIR:-$PWD/demo-instance}" "$@"
