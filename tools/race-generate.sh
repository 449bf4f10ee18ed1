#!/usr/bin/env bash
# Scores vexa on random OpenMP task programs whose races are computed from
# their structure (tests/races/generate/): builds each with the wrappers,
# runs it at each team size with the race view on, and prints pair-level
# precision and recall per compiler and team size, aborted runs apart.
#
#   bash tools/race-generate.sh [BUILD_DIR] [OPTIONS]     (default: build64)
#
# OPTIONS go to tests/races/generate/score.py, e.g.
#   --programs 100 --seed 1 --builds gcc_c,clang_c,gcc_cxx --threads 1,2,4
#   --out DIR --shrink 20     write the disagreements, each shrunk to a small
#                             program that still shows it, and DIR/SUMMARY.md
#
# Build first: cmake --build BUILD_DIR --target vexa vexa_openmp bridge_recorder
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build64
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  build=$(cd "$1" && pwd)
  shift
fi
exec python3 "$root/tests/races/generate/score.py" --build "$build" "$@"
