#!/usr/bin/env bash
# Scores vexa on the race suite (tests/races/) of a build directory: runs
# every program the build made at one and at four threads with the sharing
# detector on, and prints a line per program, then precision and recall.
# A program counts as reported when any of its runs reports; whether it
# races comes from its name (NAME_racy_BUILD or NAME_fixed_BUILD).
#
#   bash tools/race-score.sh [BUILD_DIR]        (default: the source tree's build)
#
# Build the programs first: cmake --build BUILD_DIR --target race_programs
set -euo pipefail
if [ $# -gt 0 ]; then
  dir=$(cd "$1" && pwd)/tests/races
else
  dir=$(cd "$(dirname "$0")/.." && pwd)/build/tests/races
fi
if ! ls "$dir"/*_racy_* "$dir"/*_fixed_* >/dev/null 2>&1; then
  echo "race-score: no race programs in $dir (build the race_programs target)" >&2
  exit 1
fi

# run_one PROGRAM THREADS: prints "PROGRAM THREADS REPORTS STATUS".
run_one() {
  local err status=0
  err=$(mktemp)
  # Only the variables this run sets: a VEXA_* of the caller would change it.
  env $(env | sed -n 's/^\(VEXA_[A-Za-z0-9_]*\)=.*/-u \1/p') \
    VEXA_ENABLE=1 VEXA_GUARD=7 OMP_NUM_THREADS="$2" \
    timeout 120 "$1" >/dev/null 2>"$err" || status=$?
  echo "$(basename "$1") $2 $(grep -c '^vexa-recorder: tsm' "$err" || true) $status"
  rm -f "$err"
}
export -f run_one

results=$(for p in "$dir"/*_racy_* "$dir"/*_fixed_*; do
            [ -x "$p" ] && printf '%s 1\n%s 4\n' "$p" "$p"
          done | xargs -P "$(nproc)" -n 2 bash -c 'run_one "$0" "$1"' | sort)

echo "$results" | awk '
  { key = $1; if (!(key in seen)) { order[++n] = key; seen[key] = 1 }
    reports[key, $2] = $3; if ($4 != 0) failed[key] = failed[key] " exit " $4 " at " $2 }
  END {
    printf "%-34s %6s %6s  %-8s %s\n", "program", "1 thr", "4 thr", "expected", "verdict"
    for (i = 1; i <= n; ++i) {
      k = order[i]
      racy = k ~ /_racy_/
      hit = reports[k, 1] > 0 || reports[k, 4] > 0
      b = k; sub(/^.*_(racy|fixed)_/, "", b)
      if (!(b in builds)) { builds[b] = 1; border[++nb] = b }
      if (racy && hit) { v = "ok"; tp++; btp[b]++ } else if (racy) { v = "MISSED"; fn++; bfn[b]++ }
      else if (hit) { v = "FALSE REPORT"; fp++; bfp[b]++ } else { v = "ok"; tn++ }
      printf "%-34s %6d %6d  %-8s %s%s\n", k, reports[k, 1], reports[k, 4], racy ? "racy" : "fixed", v, failed[k]
    }
    printf "\n"
    for (i = 1; i <= nb; ++i) {
      b = border[i]
      printf "%-10s precision %s  recall %s\n", b, ratio(btp[b], btp[b] + bfp[b]), ratio(btp[b], btp[b] + bfn[b])
    }
    printf "\n%d racy reported, %d racy missed, %d race-free reported, %d race-free quiet\n", tp, fn, fp, tn
    printf "precision %s  recall %s  (%d programs)\n", ratio(tp, tp + fp), ratio(tp, tp + fn), n
  }
  function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "n/a" }'
