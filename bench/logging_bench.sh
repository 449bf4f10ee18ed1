#!/usr/bin/env bash
# What text output costs a program without a debugger.
#
#   bash bench/logging_bench.sh [BUILD-DIRECTORY] [UPDATES] [REPEATS]
#
# Builds bench/logging_counter.c against BUILD-DIRECTORY's libvexa.so (i386
# or native, as the library is) and runs it with the sharing detector on:
# 4 tasks update one counter UPDATES times in all (default 1000000), every
# access a detection. Each configuration runs REPEATS times (default 3) and
# the fastest run is kept:
#   off          VEXA_LOGGING unset: detections raised, nothing printed
#   bit 8        VEXA_LOGGING=8: one compact line per detection
#   bit 8 + dedup  VEXA_LOGGING=8 VEXA_DISTINCT=1: each distinct pair once
# stderr goes to a file, as a user's redirection would; "per report" is the
# time over "off" divided by the lines printed.
set -euo pipefail
build=${1:-build}
updates=${2:-1000000}
repeats=${3:-3}
here=$(cd "$(dirname "$0")" && pwd)
library="$build/lib/libvexa.so"
[ -e "$library" ] || { echo "logging_bench: $library is missing; build the vexa target" >&2; exit 66; }
library=$(cd "$(dirname "$library")" && pwd)/libvexa.so

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bits=()
if file -L "$library" | grep -q 'ELF 32-bit'; then bits=(-m32); fi
cc "${bits[@]}" -O2 -pthread -I"$here/../include" "$here/logging_counter.c" -o "$work/counter" \
  -L"$(dirname "$library")" -Wl,-rpath,"$(dirname "$library")" -lvexa

# run NAME ENV...: the fastest of REPEATS runs; sets seconds, stops, lines.
run() {
  local best="" out
  for ((r = 0; r < repeats; ++r)); do
    local start end
    start=$(date +%s.%N)
    out=$(env -u VEXA_LOGGING -u VEXA_DISTINCT VEXA_ENABLE=1 VEXA_GUARD=3 "$@" "$work/counter" "$updates" 4 \
          2>"$work/stderr")
    end=$(date +%s.%N)
    local t
    t=$(echo "$end - $start" | bc -l)
    if [ -z "$best" ] || (( $(echo "$t < $best" | bc -l) )); then best=$t; fi
  done
  seconds=$best
  stops=${out#stops: }
  lines=$(wc -l <"$work/stderr")
}

printf '%-16s %10s %10s %10s %12s\n' configuration seconds stops lines "us/report"
run
off=$seconds
printf '%-16s %10.3f %10s %10s %12s\n' "off" "$seconds" "$stops" "$lines" "-"
run VEXA_LOGGING=8
per=$(echo "($seconds - $off) * 1000000 / ($lines + ($lines == 0))" | bc -l)
printf '%-16s %10.3f %10s %10s %12.2f\n' "bit 8" "$seconds" "$stops" "$lines" "$per"
run VEXA_LOGGING=8 VEXA_DISTINCT=1
printf '%-16s %10.3f %10s %10s %12s\n' "bit 8 + dedup" "$seconds" "$stops" "$lines" \
  "$(echo "$seconds / $off" | bc -l | xargs printf 'x%.2f')"
