#!/usr/bin/env bash
# The threads twins of the race suite (tests/races/thread_*.c, the C++ ones
# built on std::thread) under the native race detector, for comparison with
# vexa: each twin built racy and race-free with clang -fsanitize=thread and
# run five times; prints how many runs reported a data race. x86_64 only
# (the native detector has no i386 runtime).
#   bash bench/native_twins.sh [OUT_DIR]
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-/tmp/vexa-native-twins}
mkdir -p "$out"
runs=5
printf '%-24s %-6s %s\n' twin build "runs reported (of $runs): racy / race-free"
for source in "$here"/tests/races/thread_*.c "$here"/tests/races/std_{thread,shared_mutex,call_once,future,release_acquire}.cc; do
  name=$(basename "${source%.*}")
  case $source in *.c) compilers="clang:c gcc:c";; *) compilers="clang++:cxx g++:cxx";; esac
  for pair in $compilers; do
    cc=${pair%%:*}
    line=""
    for variant in racy fixed; do
      flag=""; [ $variant = fixed ] && flag=-DFIXED
      exe=$out/${name}_${variant}_$cc
      std=""; case $cc in *++) std=-std=c++17;; esac
      if ! $cc -fsanitize=thread -g -O0 -pthread $std $flag "$source" -o "$exe" 2>"$exe.build"; then
        line="$line build-failed"; continue
      fi
      n=0
      for _ in $(seq $runs); do
        TSAN_OPTIONS=halt_on_error=0 timeout 60 "$exe" >/dev/null 2>"$exe.err"
        grep -q "WARNING: ThreadSanitizer: data race" "$exe.err" && n=$((n + 1))
      done
      line="$line $n"
    done
    printf '%-24s %-6s %s\n' "$name" "$cc" "$line"
  done
done
