#!/usr/bin/env bash
# vexa beside the native race detector on x86_64: the program benchmark's
# programs (bench/programs/*.c) built twice, each against its own plain
# build, and timed with detection on.
#
#   bash bench/side_by_side.sh [-b NATIVE-BUILD-DIRECTORY] [-s 1|2|3|4]
#                              [-t SECONDS] [-q] [-n] [-o FILE] [PROGRAM...]
#
#   -b DIR   the x86_64 build whose bin/vexa-cc is used (default build64,
#            configured with -DVEXA_M32=OFF)
#   -s N     which of the program's four full sizes in bench/programs/sizes
#            (default 4, the largest)
#   -t S     time limit per run in seconds (default 60); ">S" is a miss
#   -q       quick: one run per figure, the largest quick size
#   -n       no OpenMP tool for ThreadSanitizer (see below)
#   -o FILE  also write the table to FILE
#
# vexa: plain is gcc -O2 -fopenmp with the OpenMP runtime that vexa-cc
# links; instrumented is vexa-cc -O2 -fopenmp, run with VEXA_ENABLE=3
# VEXA_GUARD=7, no debugger, no logging; reports are counted in one more
# run with VEXA_LOGGING=8 (one line per report: "tsm: " data sharing,
# "re (" reentrant calls).
# ThreadSanitizer: plain is clang -O2 -fopenmp, instrumented is clang -O2
# -fsanitize=thread -fopenmp; reports are its "WARNING: ThreadSanitizer"
# lines. Without help it cannot see the OpenMP runtime's synchronisation
# and reports races that are none, so by default it runs with LLVM's OpenMP
# tool for it (libarcher, OMP_TOOL_LIBRARIES) and
# TSAN_OPTIONS=ignore_noninstrumented_modules=1, as LLVM recommends.
# Both run with OMP_NUM_THREADS=2 (THREADS overrides it); figures are the
# median of three runs (wall and user + sys CPU time, max RSS).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/programs/common.sh"

build=build64
index=4
limit=60
quick=no
tool=yes
table_file=
while getopts b:s:t:qno:h option; do
  case $option in
    b) build=$OPTARG ;;
    s) index=$OPTARG ;;
    t) limit=$OPTARG ;;
    q) quick=yes ;;
    n) tool=no ;;
    o) table_file=$OPTARG ;;
    *) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 64 ;;
  esac
done
shift $((OPTIND - 1))
selected=("$@")
[ ${#selected[@]} -gt 0 ] || mapfile -t selected < <(program_names)
case $index in 1 | 2 | 3 | 4) ;; *) echo "side_by_side.sh: -s takes 1 to 4" >&2; exit 64 ;; esac
if [ "$quick" = yes ]; then runs=1 which=quick index=4; else runs=3 which=full; fi
for name in "${selected[@]}"; do
  [ -e "$here/programs/$name.c" ] || { echo "side_by_side.sh: no program $name" >&2; exit 64; }
done
if [ "$(uname -m)" != x86_64 ]; then
  echo "side_by_side.sh: runs on x86_64 only" >&2
  exit 69
fi

# vexa's half needs a native vexa-cc, which exists once the bridge builds
# on x86_64; without it the table shows ThreadSanitizer's half only.
wrapper=$build/bin/vexa-cc
vexa=yes
vexa_missing=
if [ ! -x "$wrapper" ]; then
  vexa=no
  vexa_missing="vexa half not run: $wrapper is missing. It needs a native build with the bridge (cmake -S . -B $build -DVEXA_M32=OFF && cmake --build $build --target vexa_bridge), which the x86_64 port provides."
elif grep -q '^VEXA_M32:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  vexa=no
  vexa_missing="vexa half not run: $build is an i386 build; give the x86_64 one with -b."
elif ! openmp_dir=$(wrapper_libomp_dir "$wrapper"); then
  vexa=no
  vexa_missing="vexa half not run: $wrapper links no OpenMP runtime."
fi
[ -z "$vexa_missing" ] || echo "side_by_side.sh: $vexa_missing" >&2
command -v clang >/dev/null || { echo "side_by_side.sh: clang is missing (apt-get install clang)" >&2; exit 69; }

archer=
tsan_env=(env -u TSAN_OPTIONS -u OMP_TOOL_LIBRARIES)
if [ "$tool" = yes ]; then
  for candidate in "$(clang -print-resource-dir 2>/dev/null)/../../libarcher.so" /usr/lib/llvm-*/lib/libarcher.so; do
    if [ -e "$candidate" ]; then archer=$(readlink -f "$candidate"); break; fi
  done
  if [ -n "$archer" ]; then
    tsan_env=(env OMP_TOOL_LIBRARIES="$archer" TSAN_OPTIONS=ignore_noninstrumented_modules=1)
  else
    echo "side_by_side.sh: no libarcher.so (LLVM's libomp-dev): ThreadSanitizer runs without it" >&2
  fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vexa-side.XXXXXX")
trap 'rm -rf "$work"' EXIT
export OMP_NUM_THREADS=${THREADS:-2}
quiet=(env -u VEXA_LOGGING -u VEXA_RE -u VEXA_ENABLE -u VEXA_GUARD)
on_env=(env -u VEXA_LOGGING -u VEXA_RE VEXA_ENABLE=3 VEXA_GUARD=7)
count_env=(env -u VEXA_RE VEXA_ENABLE=3 VEXA_GUARD=7 VEXA_LOGGING=8)

for name in "${selected[@]}"; do
  src=$here/programs/$name.c
  clang -O2 -fopenmp "$src" -o "$work/$name.clang" || { echo "side_by_side.sh: clang build of $name failed" >&2; exit 1; }
  clang -O2 -fsanitize=thread -fopenmp "$src" -o "$work/$name.tsan" ||
    { echo "side_by_side.sh: ThreadSanitizer build of $name failed" >&2; exit 1; }
  if [ "$vexa" = yes ]; then
    gcc -O2 -fopenmp "$src" -o "$work/$name.plain" -L"$openmp_dir" -Wl,-rpath,"$openmp_dir" ||
      { echo "side_by_side.sh: plain build of $name failed" >&2; exit 1; }
    "$wrapper" -O2 -fopenmp "$src" -o "$work/$name.vexa" ||
      { echo "side_by_side.sh: vexa-cc build of $name failed" >&2; exit 1; }
  fi
done

misses=0
mismatches=()
cell() { [ -n "$2" ] && echo "$1 / $2" || echo "$1"; }
# timed NAME WHAT COMMAND...: median figures in t_wall, t_cpu, t_rss, and
# the checksum compared with the reference one.
timed() {
  local name=$1 what=$2
  shift 2
  measure "$runs" "$limit" "$work/out" "$@"
  t_wall=$m_wall t_cpu=$m_cpu t_rss=$m_rss
  if [ "$m_miss" = 1 ]; then
    misses=$((misses + 1))
    return 1
  fi
  local got
  got=$(checksum_of "$work/out")
  if [ -z "$reference" ]; then
    reference=$got
  elif [ "$got" != "$reference" ]; then
    mismatches+=("$name $what: '${got:-no output}' instead of '$reference'")
  fi
}
# compare PLAIN-WALL PLAIN-CPU PLAIN-RSS ON-WALL ON-CPU ON-RSS: the
# slowdown (wall / cpu) and RSS cells.
compare() {
  local slow_cpu=-
  [ -n "$5" ] && slow_cpu=$(ratio "$5" "$2")
  echo "$(cell "$(ratio "$4" "$1")" "$slow_cpu")|$(ratio "$6" "$3")"
}

rows=()
for name in "${selected[@]}"; do
  echo "side_by_side.sh: $name" >&2
  read -r -a sizes < <(program_sizes "$name" "$which")
  size=${sizes[$((index - 1))]}
  reference=

  vexa_cells="n/a|n/a|n/a|n/a|n/a"
  if [ "$vexa" = yes ]; then
    timed "$name" "vexa plain" "${quiet[@]}" "$work/$name.plain" "$size"
    plain=("$t_wall" "$t_cpu" "$t_rss")
    timed "$name" "vexa on" "${on_env[@]}" "$work/$name.vexa" "$size"
    on=("$t_wall" "$t_cpu" "$t_rss")
    run_once "$limit" "$work/count" "${count_env[@]}" "$work/$name.vexa" "$size"
    if [ "$r_miss" = 1 ]; then
      misses=$((misses + 1)) reports="> limit"
    else
      reports="$(grep -c '^tsm: ' "$work/count.err") / $(grep -c '^re (' "$work/count.err")"
    fi
    vexa_cells="$(cell "${plain[0]}" "${plain[1]}")|$(cell "${on[0]}" "${on[1]}")|$(compare "${plain[@]}" "${on[@]}")|$reports"
  fi

  timed "$name" "clang plain" "${quiet[@]}" "$work/$name.clang" "$size"
  plain=("$t_wall" "$t_cpu" "$t_rss")
  # ThreadSanitizer's reports are counted in the timed runs: it always
  # prints them. A miss leaves the count open.
  tsan_reports="> limit"
  if timed "$name" "ThreadSanitizer" "${tsan_env[@]}" "$work/$name.tsan" "$size"; then
    tsan_reports=$(grep -c 'WARNING: ThreadSanitizer' "$work/out.err")
  fi
  on=("$t_wall" "$t_cpu" "$t_rss")
  tsan_cells="$(cell "${plain[0]}" "${plain[1]}")|$(cell "${on[0]}" "${on[1]}")|$(compare "${plain[@]}" "${on[@]}")|$tsan_reports"

  rows+=("| $name | $size | ${vexa_cells//|/ | } | ${tsan_cells//|/ | } |")
done

{
  echo "| program | size | vexa: plain s (wall / cpu) | vexa on s | vexa slowdown | vexa max RSS ratio | vexa reports sharing / reentrant | TSan: plain s | TSan on s | TSan slowdown | TSan max RSS ratio | TSan reports |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  tsan_how="ThreadSanitizer without an OpenMP tool"
  [ -n "$archer" ] && tsan_how="ThreadSanitizer with $(basename "$archer")"
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), x86_64, $OMP_NUM_THREADS threads, $which size $index, $runs run(s) per figure (median), limit $limit s, $tsan_how, load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
  [ -z "$vexa_missing" ] || echo "$vexa_missing"
  echo "misses (runs past the limit): $misses"
  table_footer "every finished run printed the same checksum"
} | if [ -n "$table_file" ]; then tee "$table_file"; else cat; fi
[ ${#mismatches[@]} -eq 0 ]
