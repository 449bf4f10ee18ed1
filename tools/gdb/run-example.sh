#!/usr/bin/env bash
# Runs the example program under GDB with the vexa extension, in batch mode,
# and prints what vexa reports. Builds nothing: give the build directory
# (default: build) after `cmake --build BUILD --target vexa_gdb_example`.
#
#   bash tools/gdb/run-example.sh [BUILD-DIRECTORY]
#
# Exits with the runner's status: 1 when vexa reported something, as it
# does for this example.
set -euo pipefail
build=${1:-${VEXA_BUILD_DIR:-build}}
for needed in "$build/bin/vexa-gdb" "$build/bin/vexa_gdb_example"; do
  [ -x "$needed" ] || { echo "run-example: $needed is missing; build target vexa_gdb_example first" >&2; exit 66; }
done
exec "$build/bin/vexa-gdb" "$build/bin/vexa_gdb_example"
