#!/usr/bin/env bash
# The main job: sets up what is missing, builds vexa with its tools (the
# library, the compiler wrappers vexa-cc / vexa-c++ and their bridge, the
# GDB client vexa-gdb), then shows what they are for:
#   1. examples/openmp/tasks.c, an ordinary OpenMP program built with
#      vexa-cc, whose two tasks race; at one thread they run one after the
#      other, the compiler's own race detector sees nothing, and vexa
#      reports the race;
#   2. examples/gdb/bank.c under GDB with the vexa extension in batch mode:
#      a data sharing bug and a reentrant call;
#   3. a program that calls the hooks itself, run without a debugger, where
#      the library describes its detections on stderr.
#
#   bash tools/run-example.sh            i386, the reference (build/)
#   bash tools/run-example.sh x86_64     x86_64 (build64/)
#
# Where i386 programs run under qemu's emulation (tools/setup.sh arranges
# that on kernels without 32-bit support), GDB would debug the emulator, not
# the program: the i386 run then takes the parts under GDB from the x86_64
# build and says so, and runs its own programs without a debugger.
# VEXA_BUILD_DIR and VEXA_BUILD64_DIR move the builds.
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

# Everything the README's commands use: the wrappers, the bridge libraries
# they link, vexa-gdb and its extension, and the examples.
cmake -S . -B "$build" -DVEXA_M32="$m32" >/dev/null
cmake --build "$build" -j"$(nproc)" --target vexa_bridge vexa_gdb task_parallel >/dev/null
if [ "$gdb_build" != "$build" ]; then
  cmake -S . -B "$gdb_build" -DVEXA_M32=OFF >/dev/null
  cmake --build "$gdb_build" -j"$(nproc)" --target vexa_bridge >/dev/null
fi
cmake --build "$gdb_build" -j"$(nproc)" --target vexa_gdb_example >/dev/null

# vexa-gdb exits 1 when it reported something, which is what these examples
# are for; anything else means the run itself went wrong.
expect_reports() {
  local status=0
  "$@" || status=$?
  [ "$status" -eq 1 ] || { echo "run-example: expected reports, $1 exited $status" >&2; exit 1; }
}

emulated_note() {
  echo "   i386 programs run under qemu here, and GDB cannot debug them there:"
  echo "   this part runs the x86_64 build."
}

# 1. The OpenMP task race, at one thread.
mkdir -p "$build/examples" "$gdb_build/examples"
"$build/bin/vexa-cc" -g -fopenmp examples/openmp/tasks.c -o "$build/examples/tasks"
[ "$gdb_build" = "$build" ] || "$gdb_build/bin/vexa-cc" -g -fopenmp examples/openmp/tasks.c -o "$gdb_build/examples/tasks"
gdb_target=$target
[ "$gdb_build" = "$build" ] || gdb_target=x86_64
echo "== examples/openmp/tasks.c, built with $build/bin/vexa-cc -g -fopenmp, at one thread"
if [ "$target" = x86_64 ] && gcc -fsanitize=thread -fopenmp -g examples/openmp/tasks.c -o "$build/examples/tasks-tsan" 2>/dev/null; then
  echo "-- built with gcc -fsanitize=thread instead (the compiler's own race detector): nothing to report"
  OMP_NUM_THREADS=1 "$build/examples/tasks-tsan"
fi
echo "-- under $gdb_build/bin/vexa-gdb ($gdb_target)"
[ "$gdb_build" = "$build" ] || emulated_note
OMP_NUM_THREADS=1 expect_reports "$gdb_build/bin/vexa-gdb" "$gdb_build/examples/tasks"
if [ "$gdb_build" != "$build" ]; then
  echo "-- the i386 program without a debugger (VEXA_GUARD=7 VEXA_LOGGING=1; addresses are the program's)"
  OMP_NUM_THREADS=1 VEXA_GUARD=7 VEXA_LOGGING=1 "$build/examples/tasks"
fi

# 2. The GDB example.
echo
echo "== examples/gdb/bank.c under GDB ($gdb_build/bin/vexa-gdb, $gdb_target)"
[ "$gdb_build" = "$build" ] || emulated_note
expect_reports bash tools/gdb/run-example.sh "$gdb_build"

# 3. The hooks called by the program itself, without a debugger.
echo
echo "== examples/task_parallel.c without a debugger ($target; VEXA_LOGGING=9 VEXA_ENABLE=3 VEXA_GUARD=7)"
VEXA_LOGGING=9 VEXA_ENABLE=3 VEXA_GUARD=7 "$build/bin/task_parallel"

echo
echo "Ready: $build/bin/vexa-cc, vexa-c++ (and vexa-gcc, vexa-g++, vexa-clang, vexa-clang++), vexa-gdb."
