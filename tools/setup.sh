#!/usr/bin/env bash
# Installs what building and testing vexa needs on Debian 12, skipping what is
# already there, so it is cheap to run before every build.
set -euo pipefail

want=(g++-multilib cmake gdb clang python3 make)
# x86_64 builds: GoogleTest, Google Benchmark and LLVM's OpenMP runtime for
# the bridge (named with their architecture, since the i386 ones share the
# names).
want_amd64=(libgtest-dev:amd64 libbenchmark-dev:amd64 libomp-14-dev:amd64)
want_i386=(libgtest-dev:i386 libbenchmark-dev:i386)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  echo "setup: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The GDB client's tests: columns from DWARF, SARIF validated against the
# 2.1.0 schema (shipped by an npm package), the HTML report in a browser.
want+=(python3-pyelftools python3-jsonschema chromium)
command -v npm >/dev/null || want+=(npm)
install_missing "${want[@]}" "${want_amd64[@]}" "${want_i386[@]}"
sarif_schema=@microsoft/jest-sarif@1.0.0-beta.0
if ! npm ls -g --depth=0 "${sarif_schema%@*}" >/dev/null 2>&1; then
  echo "setup: installing $sarif_schema (the SARIF 2.1.0 schema)" >&2
  $sudo npm install -g --no-audit --no-fund --ignore-scripts "$sarif_schema" >/dev/null
fi

# Some kernels are built without 32-bit support: an i386 program then fails
# with "Exec format error". The i386 suite still runs there under qemu's
# user-mode emulation, registered with binfmt_misc; only what needs ptrace on
# the program itself (GDB) cannot follow it, and the build says so.
i386_runs() {
  local dir rc
  dir=$(mktemp -d)
  printf 'int main(void) { return 0; }\n' > "$dir/probe.c"
  gcc -m32 "$dir/probe.c" -o "$dir/probe" 2>/dev/null && "$dir/probe" 2>/dev/null
  rc=$?
  rm -rf "$dir"
  return $rc
}
if ! i386_runs; then
  install_missing qemu-user-static
  misc=/proc/sys/fs/binfmt_misc
  [ -e "$misc/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$misc"
  if [ ! -e "$misc/qemu-i386" ]; then
    echo "setup: this kernel cannot run i386 programs; registering qemu-i386 for them" >&2
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      | $sudo tee "$misc/register" >/dev/null
  fi
  i386_runs || { echo "setup: i386 programs still cannot run here" >&2; exit 1; }
fi
