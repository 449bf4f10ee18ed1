#!/usr/bin/env bash
# Sets up what is missing, then builds vexa and runs the whole test suite for
# each target: i386 (the reference, in build/) and x86_64 (in build64/).
# Then the checking job: an x86_64 build with assertions and the lock-order
# check (-DVEXA_CHECKING=ON, in build-checking/) runs the tests labelled
# `checking` (the allocation-failure sweep, fork, misuse and bounds), a
# longer stress run, and the race suite, whose real programs take the
# bridge's and the library's locks in every order a task runtime can.
#
#   bash tools/test.sh                 both targets and the checking job
#   bash tools/test.sh i386            one of them
#   bash tools/test.sh x86_64
#   bash tools/test.sh checking
#
# VEXA_BUILD_DIR, VEXA_BUILD64_DIR and VEXA_CHECKING_DIR move the build
# directories. Each
# target is built and tested even when the other failed; the exit status is
# non-zero when either did, and the time each took is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(i386 x86_64 checking)
for target in "${targets[@]}"; do
  case $target in
    i386 | x86_64 | checking) ;;
    *) echo "test: unknown target '$target' (i386, x86_64 or checking)" >&2; exit 64 ;;
  esac
done

bash tools/setup.sh
jobs=$(nproc)

# run_target NAME DIR M32: configure, build and test one target.
run_target() {
  local name=$1 dir=$2 m32=$3
  echo "== $name ($dir)"
  rm -f "$dir/ctest.log"
  cmake -S . -B "$dir" -DVEXA_M32="$m32" -DVEXA_TESTS=ON >/dev/null &&
    cmake --build "$dir" -j"$jobs" &&
    (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600 | tee ctest.log;
     exit "${PIPESTATUS[0]}")
}

# The checking job: only what its tests need is built, and the stress test
# runs longer than in the suite (tests/robustness.cmake).
run_checking() {
  local dir=$1
  echo "== checking ($dir)"
  rm -f "$dir/ctest.log"
  cmake -S . -B "$dir" -DVEXA_M32=OFF -DVEXA_TESTS=ON -DVEXA_CHECKING=ON -DVEXA_BENCHMARKS=OFF >/dev/null &&
    cmake --build "$dir" -j"$jobs" --target robustness_test misuse_test bounds_test stress_test races_test race_programs &&
    (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600 -L 'checking|races' | tee ctest.log;
     exit "${PIPESTATUS[0]}")
}

# "N tests failed out of M" of one target's last ctest run, as "passed failed".
counts_of() {
  sed -n 's/.*tests passed, \([0-9]*\) tests\? failed out of \([0-9]*\).*/\1 \2/p' "$1/ctest.log" 2>/dev/null |
    tail -n 1 | awk '{ print $2 - $1, $1 }'
}

status=0
summary=()
passed=0
failed=0
for target in "${targets[@]}"; do
  start=$SECONDS
  if [ "$target" = i386 ]; then
    run_target i386 "${VEXA_BUILD_DIR:-build}" ON && result=passed || result=FAILED
  elif [ "$target" = x86_64 ]; then
    run_target x86_64 "${VEXA_BUILD64_DIR:-build64}" OFF && result=passed || result=FAILED
  else
    run_checking "${VEXA_CHECKING_DIR:-build-checking}" && result=passed || result=FAILED
  fi
  [ "$result" = passed ] || status=1
  dir=${VEXA_BUILD_DIR:-build}
  [ "$target" = x86_64 ] && dir=${VEXA_BUILD64_DIR:-build64}
  [ "$target" = checking ] && dir=${VEXA_CHECKING_DIR:-build-checking}
  read -r p f <<<"$(counts_of "$dir")" || true
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
  summary+=("$(printf '%-7s %s in %d s' "$target" "$result" $((SECONDS - start)))")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
# Both targets' test counts in one line, for whatever reads the end of CI's log.
echo "$passed passed, $failed failed"
exit $status
