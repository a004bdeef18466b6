#!/usr/bin/env bash
# Fetches Debian's source of the installed cpp-httplib (the same version and patches as the
# library libcpp-httplib-dev links) and prints the folder of its complete header httplib.h, so
# that a sanitizer build can compile the library into the instrumented tree instead of linking
# Debian's uninstrumented libcpp-httplib.so. Uses apt-get with a private source list in DIR; the
# machine's apt configuration is left as it is.
# Usage: scripts/httplib-source.sh DIR
set -euo pipefail
dir=$(mkdir -p "$1" && cd "$1" && pwd)
version=$(dpkg-query -W -f '${Version}' libcpp-httplib-dev)
out="$dir/cpp-httplib-$version"
if [[ ! -s "$out/httplib.h" ]]; then
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/fetch"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
    >"$dir/apt/sources.list"
  apt=(-o "Dir::Etc::SourceList=$dir/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache" -o APT::Sandbox::User=)
  apt-get "${apt[@]}" -qq update >&2
  (cd "$dir/fetch" && apt-get "${apt[@]}" -qq source --download-only "cpp-httplib=$version" >&2)
  rm -rf "$out.tmp" && mkdir -p "$out.tmp"
  tar -xf "$dir"/fetch/cpp-httplib_*.orig.tar.* -C "$out.tmp" --strip-components=1
  tar -xf "$dir"/fetch/cpp-httplib_*.debian.tar.* -C "$out.tmp"
  if [[ -f "$out.tmp/debian/patches/series" ]]; then
    while read -r patch; do
      [[ -z "$patch" || $patch == \#* ]] && continue
      patch -s -d "$out.tmp" -p1 <"$out.tmp/debian/patches/$patch"
    done <"$out.tmp/debian/patches/series"
  fi
  rm -rf "$out" && mv "$out.tmp" "$out"
fi
echo "$out"
