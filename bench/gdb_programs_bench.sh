#!/usr/bin/env bash
# Programs with many repeated detections, under vexa-gdb and without a
# debugger.
#
#   bash bench/gdb_programs_bench.sh [BUILD-DIRECTORY] [REPEATS]
#
# Builds bench/gdb_programs/*.c against BUILD's libvexa.so (they call the
# hooks themselves) and times, fastest of REPEATS runs each:
#   plain       VEXA_ENABLE=0: the hooks return at once
#   detection   VEXA_ENABLE=3 VEXA_GUARD=7, no debugger
#   gdb start   vexa-gdb with the detectors off: GDB's start-up and the run
#   vexa-gdb    vexa-gdb as it comes (one stop per distinct report when the
#               library counts repeats)
#   every stop  vexa-gdb with print-duplicates on: a stop per detection
#               (one run: it is slow)
# and prints the target's ratio, (vexa-gdb - gdb start) / detection, which
# should be at most 2. VEXA_GDB_BEFORE=PATH/vexa-gdb.py adds a column for
# another copy of the extension (an older one, for before/after figures;
# one run).
#
# fib_tasks: fib(20) with a task per call on 2 threads (reentrant calls);
# queens: 8-queens on 2 threads counting squares in a shared counter
# (data sharing). The build must be native (GDB cannot follow i386
# programs run under qemu).
set -euo pipefail
build=$(cd "${1:-build64}" && pwd)
repeats=${2:-3}
here=$(cd "$(dirname "$0")" && pwd)
source=$(dirname "$here")
runner="$build/bin/vexa-gdb"
[ -x "$runner" ] && [ -e "$build/lib/libvexa.so" ] || {
  echo "gdb_programs_bench: build libvexa.so and vexa_gdb in $build first" >&2; exit 66; }

out="$build/bench-gdb"
mkdir -p "$out"
for name in fib_tasks queens; do
  ${CC:-cc} -O1 -g -fno-omit-frame-pointer -pthread -I"$source/include" "$here/gdb_programs/$name.c" \
    -o "$out/$name" -L"$build/lib" -lvexa -Wl,-rpath,"$build/lib"
done

# Fastest of $repeats runs, in milliseconds.
fastest() {
  local best=0 start end
  for _ in $(seq "$repeats"); do
    start=$(date +%s%N)
    env -u VEXA_LOGGING -u VEXA_DISTINCT "$@" </dev/null >/dev/null 2>&1 || true
    end=$(date +%s%N)
    local ms=$(((end - start) / 1000000))
    if [ "$best" = 0 ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

once() {  # one run, in milliseconds: for the slow configurations
  local start end
  start=$(date +%s%N)
  env -u VEXA_LOGGING -u VEXA_DISTINCT "$@" </dev/null >/dev/null 2>&1 || true
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

stops() {  # detections the program stopped for under vexa-gdb
  "$runner" -ex 'set vexa verbose 2' "$@" </dev/null 2>&1 >/dev/null | grep -cE '^vexa: stop (256|257) ' || true
}

printf "%-10s %7s %10s %10s %10s %10s %11s %7s %7s" program plain detection "gdb start" vexa-gdb "every stop" \
  "stops" "ratio" "target"
[ -n "${VEXA_GDB_BEFORE:-}" ] && printf " %10s" before
printf "\n"
for name in fib_tasks queens; do
  program="$out/$name"
  plain=$(fastest env VEXA_ENABLE=0 "$program")
  detection=$(fastest env VEXA_ENABLE=3 VEXA_GUARD=7 "$program")
  start=$(fastest "$runner" -ex 'vexa disable' "$program")
  client=$(fastest "$runner" "$program")
  every=$(once "$runner" -ex 'set vexa print-duplicates on' -ex 'set vexa verbose 0' "$program")
  count=$(stops "$program")
  ratio=$(awk -v a="$client" -v s="$start" -v d="$detection" 'BEGIN { printf "%.2f", (a - s) / (d > 0 ? d : 1) }')
  ok=$(awk -v r="$ratio" 'BEGIN { print (r <= 2 ? "met" : "missed") }')
  printf "%-10s %5sms %8sms %8sms %8sms %8sms %11s %7s %7s" "$name" "$plain" "$detection" "$start" "$client" "$every" \
    "$count" "$ratio" "$ok"
  if [ -n "${VEXA_GDB_BEFORE:-}" ]; then
    before=$(once gdb -batch -nx -iex 'set debuginfod enabled off' -iex 'set auto-load python-scripts off' \
      -x "$VEXA_GDB_BEFORE" -ex 'vexa batch' --args "$program")
    printf " %8sms" "$before"
  fi
  printf "\n"
done
