#!/usr/bin/env bash
# Runs the concurrency tests of the detector cores under a race checker.
#
#   tools/race-check.sh [tsan|drd|helgrind|all]      (default: tsan)
#
# tsan      builds natively with -fsanitize=thread (ThreadSanitizer has no
#           i386 runtime; amd64 GoogleTest is enough) in $VEXA_TSAN_BUILD_DIR
#           (default build-tsan) and runs the tests there. Any report fails.
# drd,      run the i386 test binaries of $VEXA_BUILD_DIR (default build,
# helgrind  configured and built here if needed) under valgrind, without the
#           many-round stress cases (valgrind runs one thread at a time, and
#           a spinning waiter keeps the CPU until it is switched out: one
#           round takes minutes). Neither tool understands C++ acquire and
#           release on x86, so both report the chain's unlocked link walks
#           (and the reads of the nodes those links publish) as conflicts;
#           their output is for reading, not a verdict, and never fails this
#           script.
#
# VEXA_TEST_ROUNDS overrides the number of rounds of the chain stress cases
# (10 under ThreadSanitizer, 100 otherwise), in any build, e.g. for a soak run.
#
# Everything runs in the tree this script lives in; nothing is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-tsan}
jobs=${VEXA_JOBS:-2}

# Test binaries and the cases in them that run threads against each other.
# The whole of chain_test and access_log_test; from the others only the
# cases that share a detector between threads.
runs=(
  "access_log_test *"
  "tsm_test Sharing.ConcurrentTasksLogEveryAccess:Sharing.ConcurrentLeavesRecycleOnlyWhatNoLiveTaskHolds"
  "re_test Reentrancy.StopHappensOnTheThreadOfTheSecondEntry:Reentrancy.ConcurrentTasksWithPrivateFunctionsRaiseNothing"
)
valgrind_runs=(
  "${runs[@]:1}"
)
targets=(access_log_test tsm_test re_test)

build() {  # build <dir> <cmake options...>
  local dir=$1
  shift
  cmake -S . -B "$dir" -DVEXA_TESTS=ON -DVEXA_BENCHMARKS=OFF "$@" >/dev/null
  cmake --build "$dir" --target "${targets[@]}" -j"$jobs" >/dev/null
}

run_tsan() {
  local dir=${VEXA_TSAN_BUILD_DIR:-build-tsan} failed=0 cases ran
  build "$dir" -DVEXA_M32=OFF -DVEXA_TSAN=ON
  for run in "${runs[@]}"; do
    read -r binary filter <<<"$run"
    echo "== tsan: $binary ($filter)"
    cases=$("$dir/bin/$binary" --gtest_list_tests --gtest_filter="$filter" |
            awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}')
    if [ -z "$cases" ]; then
      echo "FAILED: no case of $binary matches $filter"
      failed=1
      continue
    fi
    ran=0
    # Each case gets a process of its own, as under ctest.
    for case in $cases; do
      ran=$((ran + 1))
      if ! TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
           "$dir/bin/$binary" --gtest_filter="$case" >"$dir/race-check.log" 2>&1; then
        echo "FAILED: $case"
        cat "$dir/race-check.log"
        failed=1
      fi
    done
    echo "   $ran cases"
  done
  [ $failed -eq 0 ] && echo "tsan: every case passed without a report"
  return $failed
}

run_valgrind() {  # run_valgrind drd|helgrind
  local tool=$1 dir=${VEXA_BUILD_DIR:-build}
  build "$dir"
  for run in "${valgrind_runs[@]}"; do
    read -r binary filter <<<"$run"
    echo "== $tool: $binary ($filter)"
    # One line per reporting site (the innermost frame), with its count.
    valgrind --tool="$tool" "$dir/bin/$binary" --gtest_filter="$filter" 2>&1 |
      awk '/Conflicting (load|store)|Possible data race/ {want = 1; next}
           want && /^==[0-9]+== +at / {sub(/^==[0-9]+== +at 0x[0-9A-Fa-f]+: /, ""); sites[$0]++; want = 0}
           /ERROR SUMMARY/ {summary = $0}
           /^\[  (PASSED|FAILED)/ {print}
           END {for (s in sites) print "  " sites[s] " x " s; print summary}'
  done
}

case $mode in
  tsan) run_tsan ;;
  drd | helgrind) run_valgrind "$mode" ;;
  all)
    status=0
    run_tsan || status=1
    run_valgrind drd
    run_valgrind helgrind
    exit $status
    ;;
  *)
    echo "usage: $0 [tsan|drd|helgrind|all]" >&2
    exit 2
    ;;
esac
