#!/usr/bin/env bash
# Installs what building and testing vexa needs on Debian 12, skipping what is
# already there, so it is cheap to run before every build.
set -euo pipefail

want=(g++-multilib cmake gdb clang python3)
want_i386=(libgtest-dev:i386 libbenchmark-dev:i386)

missing=()
for p in "${want[@]}" "${want_i386[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
