#!/usr/bin/env bash
# The generated-program benchmark: 200 random OpenMP task programs whose
# races are computed from their structure, built with both compilers, run
# at 1, 2 and 4 threads; prints pair-level precision and recall per
# compiler and team size, with aborted runs apart (tests/races/generate/).
#
#   bash bench/race_generate.sh [-b BUILD_DIR] [-n PROGRAMS] [-s FIRST_SEED]
#                               [-c BUILDS] [-o DIR] [-k SHRINK] [-t SECONDS]
#
#   -b DIR   the build whose bin/vexa-cc is used (default build64)
#   -n N     number of programs (default 200); seeds FIRST_SEED.. in a row
#   -s S     first seed (default 1); odd seeds are race-free programs
#   -c LIST  builds, of gcc_c, clang_c, gcc_cxx, clang_cxx (default gcc_c,clang_c)
#   -o DIR   write DIR/SUMMARY.md and the disagreements, shrunk (-k of them,
#            default 20) to small programs that still show them, in at
#            most -t seconds each (default 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build64 programs=200 seed=1 builds=gcc_c,clang_c out="" shrink=20 seconds=60
while getopts "b:n:s:c:o:k:t:" opt; do
  case $opt in
    b) build=$(cd "$OPTARG" && pwd) ;;
    n) programs=$OPTARG ;;
    s) seed=$OPTARG ;;
    c) builds=$OPTARG ;;
    o) out=$OPTARG ;;
    k) shrink=$OPTARG ;;
    t) seconds=$OPTARG ;;
    *) exit 64 ;;
  esac
done
args=(--programs "$programs" --seed "$seed" --builds "$builds" --threads 1,2,4 --jobs "$(nproc)")
[ -n "$out" ] && args+=(--out "$out" --shrink "$shrink" --shrink-seconds "$seconds")
start=$(date +%s)
status=0
bash "$root/tools/race-generate.sh" "$build" "${args[@]}" --show 0 || status=$?
echo
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $programs programs from seed $seed, $(( $(date +%s) - start )) s, load average $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
