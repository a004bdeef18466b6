#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server on the demo instance (./demo-instance).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
if [[ -x build/bin/vk9000 ]]; then
  exec build/bin/vk9000 --demo "${DEMO_DIR:-$PWD/demo-instance}" "$@"
fi
echo "demo: the build is done; the server program (vk9000) is not part of this tree yet." >&2
