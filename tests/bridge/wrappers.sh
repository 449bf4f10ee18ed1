#!/usr/bin/env bash
# What a user of the wrappers meets first, checked on examples/openmp/tasks.c
# (two tasks race on `total`) and tests/bridge/recursion.c (two threads in
# one function), without a debugger:
#   names     a Makefile that adds -fopenmp only when $(CC) names gcc or
#             clang builds an OpenMP program with vexa-gcc and vexa-clang,
#             whose race is reported at one thread; with clang the read of
#             `total += ...` is reported too, though its write follows in
#             the same basic block
#   cmake     a CMake project that finds OpenMP (find_package(OpenMP)) with
#             CMAKE_C_COMPILER=vexa-clang (vexa-gcc without clang): the
#             program links the OpenMP bridge alone and reports its race
#   defaults  each distinct report printed once with a summary of repeats,
#             a print limit that counts what it holds back, and reentrant
#             calls reported only when asked for
#   loops     worksharing loops that name no schedule are compiled with
#             schedule(guided), with dependency files naming the source;
#             a source where that does not compile builds as written, and
#             VEXA_CC_LOOPS=compiler keeps every loop as written
#
#   wrappers.sh names|cmake|defaults|loops BIN-DIR SOURCE-DIR WORK-DIR [clang]
set -euo pipefail
check=$1 bin=$2 source=$3 work=$4 clang=${5:-}
rm -rf "$work" && mkdir -p "$work" && cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
# Runs a program checked, without a debugger; its stderr is in $out.
run() { out=$(env OMP_NUM_THREADS=1 VEXA_GUARD=7 VEXA_LOGGING=1 "$@" 2>&1 >/dev/null) || fail "$* exited $?"; }
count() { grep -c -- "$1" <<<"$out" || true; }

case $check in
  names)
    cp "$source/examples/openmp/tasks.c" .
    printf '%s\n' 'ifneq (,$(findstring gcc,$(CC))$(findstring clang,$(CC)))' 'CFLAGS += -fopenmp' 'endif' \
      'tasks: tasks.c' '	$(CC) $(CFLAGS) -g -O0 $< -o $@' >Makefile
    compilers=(gcc)
    [ -n "$clang" ] && compilers+=(clang)
    for c in "${compilers[@]}"; do
      rm -f tasks
      make -s CC="$bin/vexa-$c" >/dev/null
      run ./tasks
      [ "$(count 'data sharing detected')" -ge 1 ] || fail "vexa-$c: no report at one thread: $out"
      grep -q 'bytes read by task' <<<"$out" || fail "vexa-$c: the read of total is not reported: $out"
    done
    # Each name compiles with the compiler it names.
    for name in gcc g++ ${clang:+clang clang++}; do
      "$bin/vexa-$name" --version 2>/dev/null | head -n 1 | grep -q "$([ "${name#clang}" = "$name" ] && echo 'GCC\|g++\|gcc' || echo clang)" \
        || fail "vexa-$name does not run its compiler"
    done
    ;;
  cmake)
    mkdir project
    cp "$source/examples/openmp/tasks.c" project/
    printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(tasks C)' 'find_package(OpenMP REQUIRED)' \
      'add_executable(tasks tasks.c)' 'target_link_libraries(tasks OpenMP::OpenMP_C)' >project/CMakeLists.txt
    c=${clang:-gcc}
    cmake -S project -B build -DCMAKE_C_COMPILER="$bin/vexa-$c" -DCMAKE_BUILD_TYPE=Debug >cmake.log 2>&1 \
      || fail "configure with vexa-$c: $(cat cmake.log)"
    cmake --build build >>cmake.log 2>&1 || fail "build with vexa-$c: $(cat cmake.log)"
    grep -q "identification is $([ "$c" = clang ] && echo Clang || echo GNU)" cmake.log || fail "identified as: $(cat cmake.log)"
    libraries=$(readelf -d build/tasks | grep NEEDED)
    grep -q libvexa_openmp <<<"$libraries" && ! grep -q libvexa_threads <<<"$libraries" || fail "linked: $libraries"
    run build/tasks
    grep -q '^vexa: 3 distinct detections reported' <<<"$out" || fail "vexa-$c, CMake: $out"
    ;;
  defaults)
    "$bin/vexa-cc" -g -fopenmp "$source/examples/openmp/tasks.c" -o tasks
    run ./tasks
    # Three pairs of lines race (read / write, write / write, write / read),
    # each 500 times: each is printed once, the repeats summed at exit.
    [ "$(count 'data sharing detected')" -eq 2 ] || fail "distinct reports: $out"
    grep -q '^vexa: 3 distinct detections reported, 1497 repeats not reported$' <<<"$out" || fail "summary: $out"
    run env VEXA_PRINT_LIMIT=1 ./tasks
    [ "$(count 'data sharing detected')" -eq 1 ] || fail "limit 1: $out"
    grep -q '^vexa: 2 more distinct detections not printed, seen 1000 times past the limit of 1 ' <<<"$out" \
      || fail "limit 1 summary: $out"
    run env VEXA_DISTINCT=0 ./tasks
    [ "$(count 'data sharing detected')" -eq 100 ] || fail "every repeat, limited: $(head -c 300 <<<"$out")"
    grep -q '^vexa: 900 more detections not printed past the limit of 100 ' <<<"$out" || fail "limit 100: $out"
    run env VEXA_DISTINCT=0 VEXA_PRINT_LIMIT=0 ./tasks
    [ "$(count 'data sharing detected')" -eq 1000 ] || fail "no limit"
    # A program that calls the hooks itself keeps the library's defaults.
    out=$(VEXA_ENABLE=3 VEXA_GUARD=7 VEXA_LOGGING=1 "$bin/task_parallel" 2>&1 >/dev/null) || fail "task_parallel: $out"
    [ "$(count 'reentrant call detected')" -ge 1 ] && [ "$(count limit)" -eq 0 ] || fail "task_parallel: $out"
    # Reentrant calls: asked for with VEXA_ENABLE=3.
    "$bin/vexa-cc" -g -pthread "$source/tests/bridge/recursion.c" -o recursion
    run ./recursion
    [ "$(count 'reentrant call detected')" -eq 0 ] || fail "reentrant call reported by default: $out"
    run env VEXA_ENABLE=3 ./recursion
    [ "$(count 'reentrant call detected')" -ge 1 ] || fail "VEXA_ENABLE=3: $out"
    # The program's own environment is what it was given.
    printf '%s\n' '#include <stdio.h>' '#include <stdlib.h>' \
      'int main(void) { puts(getenv("VEXA_ENABLE") ? getenv("VEXA_ENABLE") : "unset"); return 0; }' >env.c
    "$bin/vexa-cc" env.c -o env-check
    [ "$(./env-check)" = unset ] && [ "$(VEXA_ENABLE=2 ./env-check)" = 2 ] || fail "environment seen by main"
    ;;
  loops)
    # GCC names a guided loop's entry points; a static one has none.
    guided() { nm -u "$1" | grep -q 'GOMP_parallel_loop.*guided'; }
    printf '%s\n' '#include <stdio.h>' 'static int a[64];' 'int main(void) {' \
      '#pragma omp parallel for \' '    shared(a)  // a comment' 'for (int i = 0; i < 64; ++i) a[i] = i;' \
      '#pragma omp parallel for SCHEDULE' 'for (int i = 0; i < 64; ++i) a[i] += i;' \
      '  printf("%d\n", a[63]); return 0; }' >loops.c
    "$bin/vexa-cc" -g -fopenmp -DSCHEDULE= -c loops.c -MD 2>err.txt || fail "-c: $(cat err.txt)"
    [ ! -s err.txt ] || fail "-c said: $(cat err.txt)"
    guided loops.o || fail "no guided loop: $(nm -u loops.o)"
    grep -q '^loops.o: loops.c ' loops.d && ! grep -q vexa-cc loops.d || fail "dependencies: $(cat loops.d)"
    # A schedule hidden in a macro: the rewritten copy does not compile.
    "$bin/vexa-cc" -g -fopenmp '-DSCHEDULE=schedule(static)' loops.c -o loops 2>err.txt || fail "macro: $(cat err.txt)"
    grep -q "^vexa-cc: note: loops.c: its loops keep the compiler's schedule" err.txt || fail "note: $(cat err.txt)"
    ! guided loops || fail "macro: a guided loop"
    [ "$(./loops)" = 126 ] || fail "macro: the program's output"
    VEXA_CC_LOOPS=compiler "$bin/vexa-cc" -g -fopenmp -DSCHEDULE= loops.c -o loops
    ! guided loops || fail "VEXA_CC_LOOPS=compiler: a guided loop"
    ! VEXA_CC_LOOPS=guided "$bin/vexa-cc" -fopenmp -c loops.c 2>err.txt && grep -q "VEXA_CC_LOOPS is 'guided'" err.txt \
      || fail "a bad VEXA_CC_LOOPS: $(cat err.txt)"
    ;;
  *) fail "unknown check $check" ;;
esac
echo "ok: $check"
