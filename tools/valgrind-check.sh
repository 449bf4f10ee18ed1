#!/usr/bin/env bash
# Runs the stress test (tests/stress_test.cc) once under valgrind's memcheck
# and once under drd, and fails if either reports an error.
#
#   tools/valgrind-check.sh [build-dir]      default: $VEXA_BUILD_DIR or build
#
# Valgrind runs one thread at a time, and a thread that waits for a spin
# lock burns its whole time slice, so the runs use few tasks per thread:
# MEMCHECK_TASKS (default 100) and DRD_TASKS (default 40). --fair-sched=yes
# hands the CPU round the threads in turn; without it a spinning thread can
# keep taking valgrind's lock back from the one that holds the spin lock.
# Extra valgrind options go in VALGRIND_OPTIONS.
set -euo pipefail
cd "$(dirname "$0")/.."

# memcheck cannot start on an i386 program without the symbols of i386
# glibc's dynamic linker (it must redirect strlen there).
missing=()
for p in valgrind libc6-dbg:i386; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "valgrind-check: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=${1:-${VEXA_BUILD_DIR:-build-valgrind}}
# vexa's spin locks are its own: this build tells Valgrind which they are.
# Valgrind cannot follow an i386 program that the kernel hands to qemu, so
# where i386 is emulated the check runs on the native build.
m32=ON
[ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && m32=OFF
cmake -S . -B "$build" -DVEXA_M32=$m32 -DVEXA_TESTS=ON -DVEXA_BENCHMARKS=OFF -DVEXA_VALGRIND=ON >/dev/null
cmake --build "$build" --target stress_test -j"$(nproc)" >/dev/null

# drd knows locks but not C++ atomics, so it takes every read that vexa
# makes without a lock on purpose for a race. These are the documented
# ones: the memory hooks' first look at the live-task count (written under
# the runtime lock), and the unlocked walks of the access log chain and its
# index (check's backward walk, the index lookup and the search for a
# hint), whose links and keys are published by release stores when a node
# is linked and never change afterwards. drd reports either side of such a
# pair, so each is suppressed in the function that makes it. Anything else
# drd reports is an error.
suppressions=$(mktemp)
trap 'rm -f "$suppressions"' EXIT
cat >"$suppressions" <<'EOF'
{
   vexa-live-task-count-first-look
   drd:ConflictingAccess
   fun:load
   fun:no_live_task
}
{
   vexa-live-task-count-update
   drd:ConflictingAccess
   fun:store
   fun:_ZN4vexa12_GLOBAL__N_110*_taskEPKv
}
{
   vexa-index-lookup-and-publication
   drd:ConflictingAccess
   ...
   fun:_ZN*4vexa11log_index_t*find*
}
{
   vexa-log-key-read-before-its-lock
   drd:ConflictingAccess
   ...
   fun:_ZN*4vexa12access_log_t*key*
}
{
   vexa-lock-spins-on-a-plain-load
   drd:ConflictingAccess
   ...
   fun:_ZN*4vexa6lock_t*try_lock*
}
EOF

test=("$build/bin/stress_test" --gtest_filter='Stress.*')
read -r -a extra <<<"${VALGRIND_OPTIONS:-}"
status=0
run() {
  local tool=$1 tasks=$2
  shift 2
  echo "== $tool: ${test[*]} (STRESS_TASKS=$tasks)" >&2
  if ! STRESS_TASKS=$tasks valgrind --tool="$tool" --fair-sched=yes --error-exitcode=99 "$@" "${extra[@]}" "${test[@]}"; then
    echo "== $tool: errors (or the test failed)" >&2
    status=1
  fi
}
# Task records are released when their task leaves and access logs go back
# to the detector's pool; only blocks that lost every pointer count as leaks.
run memcheck "${MEMCHECK_TASKS:-100}" --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite
run drd "${DRD_TASKS:-40}" --suppressions="$suppressions"
exit $status
