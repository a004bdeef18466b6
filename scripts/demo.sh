#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server on the demo instance (./demo-instance,
# or $DEMO_DIR), creating it on the first run. Port 2100 unless --port N is given. Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
exec build/bin/vk9000 --demo "${DEMO_DIR:-$PWD/demo-instance}" "$@"
