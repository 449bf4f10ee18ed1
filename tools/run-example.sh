#!/usr/bin/env bash
# The main job: sets up what is missing, builds vexa, and runs the example
# bank program under GDB with the vexa extension in batch mode, which prints
# the reports of its data sharing bug and its reentrant call. Then runs a
# second example without a debugger, where the library describes its
# detections on stderr itself.
#
#   bash tools/run-example.sh            i386, the reference (build/)
#   bash tools/run-example.sh x86_64     x86_64 (build64/)
#
# Where i386 programs run under qemu's emulation (tools/setup.sh arranges
# that on kernels without 32-bit support), GDB would debug the emulator, not
# the program: the i386 run then takes the part under GDB from the x86_64
# build and says so. VEXA_BUILD_DIR and VEXA_BUILD64_DIR move the builds.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-i386}
case $target in
  i386) build=${VEXA_BUILD_DIR:-build} m32=ON ;;
  x86_64) build=${VEXA_BUILD64_DIR:-build64} m32=OFF ;;
  *) echo "run-example: unknown target '$target' (i386 or x86_64)" >&2; exit 64 ;;
esac
bash tools/setup.sh

i386_emulated() {
  local entry=/proc/sys/fs/binfmt_misc/qemu-i386
  [ -r "$entry" ] && head -n 1 "$entry" | grep -qx enabled
}

gdb_build=$build
if [ "$target" = i386 ] && i386_emulated; then
  gdb_build=${VEXA_BUILD64_DIR:-build64}
fi

cmake -S . -B "$build" -DVEXA_M32="$m32" >/dev/null
cmake --build "$build" -j"$(nproc)" --target task_parallel >/dev/null
if [ "$gdb_build" != "$build" ]; then
  cmake -S . -B "$gdb_build" -DVEXA_M32=OFF >/dev/null
fi
cmake --build "$gdb_build" -j"$(nproc)" --target vexa_gdb_example >/dev/null

if [ "$gdb_build" != "$build" ]; then
  echo "== examples/gdb/bank.c under GDB ($gdb_build/bin/vexa-gdb, x86_64)"
  echo "   i386 programs run under qemu here, and GDB cannot debug them there:"
  echo "   this part runs the x86_64 build; the part without a debugger runs i386."
else
  echo "== examples/gdb/bank.c under GDB ($gdb_build/bin/vexa-gdb, $target)"
fi
status=0
bash tools/gdb/run-example.sh "$gdb_build" || status=$?
# The runner exits 1 when it reported something, which is what this example
# is for; anything else means the run itself went wrong.
[ "$status" -eq 1 ] || { echo "run-example: expected reports, runner exited $status" >&2; exit 1; }

echo
echo "== examples/task_parallel.c without a debugger ($target; VEXA_LOGGING=9 VEXA_ENABLE=3 VEXA_GUARD=7)"
VEXA_LOGGING=9 VEXA_ENABLE=3 VEXA_GUARD=7 "$build/bin/task_parallel"
