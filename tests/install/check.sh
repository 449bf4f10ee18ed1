#!/usr/bin/env bash
# The installed tools, away from the source and build trees:
#   relocated  `cmake --install` into one directory, moved to another, and
#              used from a third: vexa-cc builds the OpenMP task race of
#              examples/openmp/tasks.c and vexa-c++ a threads program
#              (tests/bridge/counter.c), both reported; vexa-gdb names the
#              racing line when GDB can debug the target here
#   package    `cpack -G DEB`: the package holds every tool, library and
#              the GDB extension, declares what it needs, and its tree,
#              unpacked anywhere, builds and checks the same program
#
#   check.sh relocated|package BUILD-DIR SOURCE-DIR WORK-DIR [gdb]
set -euo pipefail
check=$1 build=$2 source=$3 work=$4 gdb=${5:-}
rm -rf "$work" && mkdir -p "$work/elsewhere"
fail() { echo "FAIL: $*" >&2; exit 1; }
line=$(grep -n 'total += values' "$source/examples/openmp/tasks.c" | cut -d: -f1)

# Builds and runs the examples with the wrappers in $1, from elsewhere.
use() {
  local bin=$1 out
  cd "$work/elsewhere"
  rm -f tasks counter
  "$bin/vexa-cc" -g -fopenmp "$source/examples/openmp/tasks.c" -o tasks
  out=$(OMP_NUM_THREADS=1 VEXA_GUARD=7 VEXA_LOGGING=1 ./tasks 2>&1 >/dev/null)
  grep -q '^vexa: 3 distinct detections reported' <<<"$out" || fail "$bin/vexa-cc: tasks: $out"
  "$bin/vexa-c++" -g -pthread -x c++ "$source/tests/bridge/counter.c" -o counter
  out=$(VEXA_GUARD=7 VEXA_LOGGING=1 ./counter 2>&1 >/dev/null)
  grep -q '^vexa: data sharing detected' <<<"$out" || fail "$bin/vexa-c++: counter: $out"
}

case $check in
  relocated)
    cmake --install "$build" --prefix "$work/first" >/dev/null
    mv "$work/first" "$work/moved"
    for name in vexa-cc vexa-c++ vexa-gcc vexa-g++ vexa-clang vexa-clang++ vexa-gdb; do
      [ -x "$work/moved/bin/$name" ] || fail "bin/$name is not installed"
    done
    [ -f "$work/moved/include/vexa.h" ] || fail "include/vexa.h is not installed"
    use "$work/moved/bin"
    if [ -n "$gdb" ]; then
      status=0
      out=$(OMP_NUM_THREADS=1 "$work/moved/bin/vexa-gdb" ./tasks 2>&1 >/dev/null) || status=$?
      [ "$status" -eq 1 ] || fail "vexa-gdb exited $status: $out"
      grep -q "^SUMMARY: vexa: data sharing .*tasks.c:$line in add_range$" <<<"$out" || fail "vexa-gdb: $out"
    fi
    ;;
  package)
    (cd "$build" && cpack -G DEB -B "$work" >/dev/null)
    deb=$(ls "$work"/*.deb)
    contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
    for f in bin/vexa-cc bin/vexa-c++ bin/vexa-gcc bin/vexa-clang++ bin/vexa-gdb include/vexa.h lib/libvexa.so \
      lib/libvexa_threads.so lib/libvexa.so-gdb.py share/vexa/gdb/vexa-gdb.py share/vexa/gdb/vexa_gdb/__init__.py; do
      grep -qx "./usr/$f" <<<"$contents" || fail "$deb lacks /usr/$f"
    done
    [ -n "$(dpkg-deb -f "$deb" Depends)" ] || fail "$deb declares no dependencies"
    dpkg-deb -x "$deb" "$work/root"
    use "$work/root/usr/bin"
    ;;
  *) fail "unknown check $check" ;;
esac
echo "ok: $check"
