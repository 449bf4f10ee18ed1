#!/usr/bin/env bash
# The main job: sets up what is missing, builds vexa, and runs the example
# bank program under GDB with the vexa extension in batch mode, which prints
# the reports of its data sharing bug and its reentrant call. Then runs a
# second example without a debugger, where the library describes its
# detections on stderr itself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
build=${VEXA_BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target vexa_gdb_example task_parallel >/dev/null

echo "== examples/gdb/bank.c under GDB (build/bin/vexa-gdb)"
status=0
bash tools/gdb/run-example.sh "$build" || status=$?
# The runner exits 1 when it reported something, which is what this example
# is for; anything else means the run itself went wrong.
[ "$status" -eq 1 ] || { echo "run-example: expected reports, runner exited $status" >&2; exit 1; }

echo
echo "== examples/task_parallel.c without a debugger (VEXA_LOGGING=9 VEXA_ENABLE=3 VEXA_GUARD=7)"
VEXA_LOGGING=9 VEXA_ENABLE=3 VEXA_GUARD=7 "$build/bin/task_parallel"
