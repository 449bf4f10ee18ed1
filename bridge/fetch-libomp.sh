#!/usr/bin/env bash
# Unpacks LLVM's OpenMP runtime for i386 (Debian's libomp5-14:i386 and
# libomp-14-dev:i386) under DEST, for vexa's OpenMP support. Installing
# those packages would conflict with the amd64 ones that share their files,
# so they are only downloaded and unpacked. Does nothing when DEST already
# holds them.
#
#   bash bridge/fetch-libomp.sh DEST
#
# The runtime then lives in DEST/usr/lib/llvm-14/lib, its headers (omp.h
# for clang, omp-tools.h for the bridge) in DEST/usr/lib/llvm-14/lib/include.
set -euo pipefail
dest=${1:?usage: fetch-libomp.sh DEST}
lib=$dest/usr/lib/llvm-14/lib
if [ -e "$lib/libomp.so.5" ] && [ -e "$lib/include/omp-tools.h" ]; then
  exit 0
fi
mkdir -p "$dest"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && apt-get download -qq libomp5-14:i386 libomp-14-dev:i386 2>"$work/log"); then
  cat "$work/log" >&2
  echo "fetch-libomp: apt-get download failed; apt needs the i386 architecture:" >&2
  echo "  dpkg --add-architecture i386 && apt-get update" >&2
  exit 1
fi
for deb in "$work"/*.deb; do
  dpkg-deb -x "$deb" "$dest"
done
# One name for the headers' directory, whatever the version in its path.
headers=$(cd "$lib" && ls -d clang/*/include | head -n 1)
ln -sfn "$headers" "$lib/include"
test -e "$lib/libomp.so.5" && test -e "$lib/include/omp-tools.h"
