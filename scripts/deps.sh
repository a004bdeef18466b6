#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, if any is missing.
# Usage: scripts/deps.sh            (everything: build, tests, interop peers; what CI runs)
#        scripts/deps.sh build      (only what building and serving the demo need)
set -euo pipefail
what=${1:-all}
[[ $what == all || $what == build ]] || { echo "usage: $0 [build]" >&2; exit 2; }

# Building everything (the tests' sources are configured too) and serving the demo.
PKGS=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libcli11-dev libfmt-dev libssl-dev
  libicu-dev                              # Unicode normalisation and case folding of search keys
  libjemalloc-dev                         # vk9000's allocator
  libpq-dev                               # the network back-end's client
  libcpp-httplib-dev nlohmann-json3-dev   # the operator console (ui/web/)
  python3        # scripts/make-demo-store.sh generates the demo records
  libncurses-dev # SetupVelkan's terminal wizard (ncursesw)
  libyaz-dev libxml2-dev  # MARCXML, SUTRS and MARC-8 conversion of records (libyaz's MARC reader and tables)
)
# The tests' peers and tools: heavy, and not needed to serve.
TEST_PKGS=(
  clang libclang-rt-14-dev                # sanitizer and fuzz builds
  patch xz-utils # scripts/httplib-source.sh: Debian's cpp-httplib source for the sanitizer builds
  postgresql-15 postgresql-common         # the network back-end's throw-away test cluster
  chromium fonts-wqy-zenhei               # the console's browser test, with a font for its Chinese texts
  yaz            # yaz-client, zoomsh, yaz-marcdump, yaz-ztest: the real peers of the interop tests
  libnet-z3950-zoom-perl  # Perl ZOOM: the scan interop test's third client
  idzebra-2.0    # zebraidx, zebrasrv: the peer of bench/search/run_side_by_side.sh (run time only)
  libmarc-xml-perl libmarc-lint-perl libxml2-utils  # the record tests: MARC::File::XML, MARC::Lint, xmllint
  tmux           # drives the wizard in its tests
  libxml2-utils  # xmllint checks the SRU responses
  wrk            # bench/sru: HTTP load against both SRU servers
  dpkg-dev file  # scripts/package.sh: CPack's Debian generator finds the package's dependencies
)

missing=()
if [[ $what == all ]]; then
  PKGS+=("${TEST_PKGS[@]}")
  # Node.js and npm drive the browser test; an installed node (from any source) is kept.
  command -v node >/dev/null || PKGS+=(nodejs)
  command -v npm >/dev/null || PKGS+=(npm)
fi

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

[[ $what == build ]] && exit 0

# playwright-core for the browser test, exactly as tests/browser/package-lock.json pins it.
browser_dir="$(dirname "$0")/../tests/browser"
if [[ -f "$browser_dir/package-lock.json" ]] &&
   ! cmp -s "$browser_dir/package-lock.json" "$browser_dir/node_modules/.installed-lock.json"; then
  echo "deps: npm ci in tests/browser"
  (cd "$browser_dir" && npm ci --no-audit --no-fund --loglevel=error &&
   cp package-lock.json node_modules/.installed-lock.json)
fi
