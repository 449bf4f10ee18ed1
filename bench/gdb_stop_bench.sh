#!/usr/bin/env bash
# Time per auto-continued stop of the vexa GDB extension.
#
#   bash bench/gdb_stop_bench.sh [BUILD-DIRECTORY] [READS] [REPEATS]
#
# Runs tests/gdb/stress.c (target gdb_stress) under GDB in batch mode: one
# task writes a variable, the others read it READS times each, and every
# read is one detection, so one stop that the extension handles and
# continues. Each configuration is timed REPEATS times and the fastest run
# kept; a stop's cost is the difference to the same run without stops,
# divided by the number of stops:
#   extension        reports counted, repeats not printed (the default)
#   every report     print-duplicates on: each stop symbolised and printed
#   bare breakpoint  a Python breakpoint whose stop() only returns False:
#                    what GDB itself costs per stop
# with 2 threads (one stop at a time, nobody waiting) and 8 threads (seven
# readers queue on the library's lock while one is stopped).
set -euo pipefail
build=${1:-build}
reads=${2:-200}
repeats=${3:-3}
program="$build/bin/gdb_stress"
loader="$build/share/vexa/gdb/vexa-gdb.py"
for needed in "$program" "$loader"; do
  [ -e "$needed" ] || { echo "gdb_stop_bench: $needed is missing; build gdb_stress and vexa_gdb" >&2; exit 66; }
done

gdb_batch=(gdb -batch -nx -iex 'set debuginfod enabled off' -iex 'set auto-load python-scripts off')
bare_breakpoint='python
import gdb
class Bare(gdb.Breakpoint):
    def stop(self):
        return False
def on_objfile(event):
    global bare
    try:
        gdb.parse_and_eval("(unsigned long long)&__vexa_switch_to_debugger")
    except gdb.error:
        return
    if "bare" not in globals():
        bare = Bare("__vexa_switch_to_debugger", internal=True)
        bare.silent = True
gdb.events.new_objfile.connect(on_objfile)
end'

# Fastest of $repeats runs of the command, in microseconds.
fastest() {
  local best=0 start end
  for _ in $(seq "$repeats"); do
    start=$(date +%s%N)
    env -u VEXA_LOGGING "$@" </dev/null >/dev/null 2>&1 || true
    end=$(date +%s%N)
    local us=$(((end - start) / 1000))
    if [ "$best" = 0 ] || [ "$us" -lt "$best" ]; then best=$us; fi
  done
  echo "$best"
}

per_stop() {  # microseconds with stops, without, stops -> milliseconds per stop
  awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.2f ms", (a - b) / n / 1000 }'
}

printf "%-8s %-7s %-14s %-14s %-16s\n" threads stops extension "every report" "bare breakpoint"
for threads in 2 8; do
  stops=$(((threads - 1) * reads))
  args=("$reads" "$threads")
  quiet=$(fastest "${gdb_batch[@]}" -x "$loader" -ex 'vexa disable' -ex "vexa batch ${args[*]}" --args "$program")
  counted=$(fastest "${gdb_batch[@]}" -x "$loader" -ex 'set vexa verbose 0' -ex "vexa batch ${args[*]}" --args "$program")
  printed=$(fastest "${gdb_batch[@]}" -x "$loader" -ex 'set vexa verbose 0' -ex 'set vexa print-duplicates on' \
    -ex "vexa batch ${args[*]}" --args "$program")
  no_stops=$(fastest env VEXA_ENABLE=0 VEXA_GUARD=0 "${gdb_batch[@]}" -ex "$bare_breakpoint" -ex run --args "$program" "${args[@]}")
  bare=$(fastest env VEXA_ENABLE=1 VEXA_GUARD=7 "${gdb_batch[@]}" -ex "$bare_breakpoint" -ex run --args "$program" "${args[@]}")
  printf "%-8s %-7s %-14s %-14s %-16s\n" "$threads" "$stops" "$(per_stop "$counted" "$quiet" "$stops")" \
    "$(per_stop "$printed" "$quiet" "$stops")" "$(per_stop "$bare" "$no_stops" "$stops")"
done
