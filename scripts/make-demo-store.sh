#!/usr/bin/env bash
# Builds the demo back-end store in DIR from data/demo/ with the strata tool:
#   databases "books" (MARC 21: the 24 Zebra sample records + 10,000 generated ones) and "unimarc"
#   (300 generated Chinese records, UTF-8 on input), their cfgs files in the ANSI code page (GBK),
#   accounts "public" (read, empty password) and "demo"/"demo" (read and write).
# Usage: scripts/make-demo-store.sh DIR [STRATA_BINARY]
# The store is DIR/<instance>.strata (instance "vk9000" unless VELKAN_INSTANCE is set). Idempotent:
# an existing store is replaced by a fresh one built beside it.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: $0 DIR [STRATA_BINARY]" >&2
  exit 2
fi
DIR=$1
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
STRATA=${2:-${STRATA:-}}
if [[ -z "$STRATA" ]]; then
  for candidate in "$HERE"/build*/bin/strata; do
    [[ -x "$candidate" ]] && STRATA=$candidate && break
  done
fi
[[ -x "${STRATA:-}" ]] || { echo "make-demo-store: strata binary not found (pass it as 2nd argument)" >&2; exit 2; }
DEMO="$HERE/data/demo"
INSTANCE=${VELKAN_INSTANCE:-vk9000}

mkdir -p "$DIR"
WORK=$(mktemp -d "$DIR/.demo-build.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
STORE="$WORK/$INSTANCE.strata"

python3 "$DEMO/gendemo.py" books "$WORK/books.mrc"
python3 "$DEMO/gendemo.py" unimarc "$WORK/unimarc.mrc"

# cfgs files are kept in UTF-8 in the repository and stored in the ANSI code page.
for db in books unimarc; do
  mkdir -p "$WORK/cfgs-$db"
  for f in "$DEMO/$db/cfgs/"*.cfg; do
    iconv -f UTF-8 -t GBK "$f" > "$WORK/cfgs-$db/$(basename "$f")"
  done
done

"$STRATA" create "$STORE"
"$STRATA" db add "$STORE" books --cfgs "$WORK/cfgs-books"
"$STRATA" db add "$STORE" unimarc --cfgs "$WORK/cfgs-unimarc"
"$STRATA" load "$STORE" books "$DEMO/books/sample-marc21.mrc" "$WORK/books.mrc" --format usmarc --encoding auto >/dev/null
"$STRATA" load "$STORE" unimarc "$WORK/unimarc.mrc" --format unimarc --encoding utf8 >/dev/null
"$STRATA" account add "$STORE" demo --password demo --rights rw
"$STRATA" list "$STORE"

# Replace the previous store (and its WAL side files) only once the new one is complete.
rm -f "$DIR/$INSTANCE.strata-wal" "$DIR/$INSTANCE.strata-shm"
mv -f "$STORE" "$DIR/$INSTANCE.strata"
echo "make-demo-store: $DIR/$INSTANCE.strata ready" >&2
