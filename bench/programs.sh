#!/usr/bin/env bash
# Program benchmark: task programs (bench/programs/*.c) built plain and with
# vexa-cc, timed plain, with the hooks off and with detection on.
#
#   bash bench/programs.sh [-b BUILD-DIRECTORY] [-t SECONDS] [-q] [-o FILE]
#                          [PROGRAM...]
#
#   -b DIR   the build whose bin/vexa-cc and libraries are used (default
#            build, the i386 reference build); its VEXA_M32 setting picks
#            -m32 for the plain builds
#   -t S     time limit per run in seconds (default 60; 10 in quick mode);
#            a run past it prints ">S" and counts as a miss
#   -q       quick: one run per measurement and the smaller sizes of
#            bench/programs/sizes (a few minutes with the slowest library)
#   -o FILE  also write the table to FILE
#   PROGRAM  only these programs (fib mergesort nqueens stencil heap chain)
#
# Each program runs with OMP_NUM_THREADS=2 (THREADS overrides it), in the
# race view unless VEXA_VIEW=sharing is set. Plain:
# gcc -O2 -fopenmp with the OpenMP runtime the wrapper links. Hooks off:
# VEXA_ENABLE=0 VEXA_GUARD=0. Detection on: VEXA_ENABLE=3 VEXA_GUARD=7, no
# debugger, no logging. The plain, hooks-off and detection-on columns are at
# the largest size; detection on is also timed at all four sizes, and the
# slowdown and RSS ratio are taken at the largest size where it finished
# (named when that is not the largest). The full
# mode takes the median of three runs of each; a measurement whose first run
# misses is not repeated, nor are larger sizes run after a miss. Reports are
# counted in one more run at the smallest size with VEXA_LOGGING=8 (one line
# per report): data sharing ("tsm: ") and reentrant calls ("re ("). Every
# run's checksum is compared with the plain run's at the same size.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/programs/common.sh"

build=build
limit=
quick=no
table_file=
while getopts b:t:qo:h option; do
  case $option in
    b) build=$OPTARG ;;
    t) limit=$OPTARG ;;
    q) quick=yes ;;
    o) table_file=$OPTARG ;;
    *) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 64 ;;
  esac
done
shift $((OPTIND - 1))
selected=("$@")
[ ${#selected[@]} -gt 0 ] || mapfile -t selected < <(program_names)
if [ "$quick" = yes ]; then runs=1 which=quick limit=${limit:-10}; else runs=3 which=full limit=${limit:-60}; fi

wrapper=$build/bin/vexa-cc
if [ ! -x "$wrapper" ]; then
  echo "programs.sh: $wrapper is missing; build the bridge first (cmake --build $build --target vexa_bridge)" >&2
  exit 66
fi
m32=
if grep -q '^VEXA_M32:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then m32=-m32; fi
openmp_dir=$(wrapper_libomp_dir "$wrapper") || {
  echo "programs.sh: $wrapper links no OpenMP runtime (configured without OpenMP?)" >&2
  exit 66
}
for name in "${selected[@]}"; do
  [ -e "$here/programs/$name.c" ] || { echo "programs.sh: no program $name" >&2; exit 64; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vexa-programs.XXXXXX")
trap 'rm -rf "$work"' EXIT
export OMP_NUM_THREADS=${THREADS:-2}
quiet=(env -u VEXA_LOGGING -u VEXA_RE)
plain_env=("${quiet[@]}" -u VEXA_ENABLE -u VEXA_GUARD)
off_env=("${quiet[@]}" VEXA_ENABLE=0 VEXA_GUARD=0)
on_env=("${quiet[@]}" VEXA_ENABLE=3 VEXA_GUARD=7)
count_env=(env -u VEXA_RE VEXA_ENABLE=3 VEXA_GUARD=7 VEXA_LOGGING=8)

for name in "${selected[@]}"; do
  src=$here/programs/$name.c
  gcc $m32 -O2 -fopenmp "$src" -o "$work/$name.plain" -L"$openmp_dir" -Wl,-rpath,"$openmp_dir" ||
    { echo "programs.sh: plain build of $name failed" >&2; exit 1; }
  "$wrapper" -O2 -fopenmp "$src" -o "$work/$name.vexa" ||
    { echo "programs.sh: vexa-cc build of $name failed" >&2; exit 1; }
done

misses=0
mismatches=()
cell() { [ -n "$2" ] && echo "$1 / $2" || echo "$1"; }
check() {  # check NAME SIZE WHAT OUTPUT: the checksum must be the plain one's
  local got
  got=$(checksum_of "$4")
  [ "$got" = "${reference[$2]}" ] || mismatches+=("$1 $2 $3: '${got:-no output}' instead of '${reference[$2]}'")
}

rows=()
for name in "${selected[@]}"; do
  echo "programs.sh: $name" >&2
  read -r -a sizes < <(program_sizes "$name" "$which")
  largest=${sizes[3]}
  declare -A reference=() work_done=() plain_wall=() plain_cpu=() plain_rss=()
  for size in "${sizes[@]}"; do
    measure "$runs" "$limit" "$work/out" "${plain_env[@]}" "$work/$name.plain" "$size"
    [ "$m_miss" = 1 ] && misses=$((misses + 1))
    plain_wall[$size]=$m_wall plain_cpu[$size]=$m_cpu plain_rss[$size]=$m_rss
    reference[$size]=$(checksum_of "$work/out")
    work_done[$size]=$(work_of "$work/out")
  done
  plain=("${plain_wall[$largest]}" "${plain_cpu[$largest]}")

  measure "$runs" "$limit" "$work/out" "${off_env[@]}" "$work/$name.vexa" "$largest"
  [ "$m_miss" = 1 ] && misses=$((misses + 1)) || check "$name" "$largest" "hooks off" "$work/out"
  off=("$m_wall" "$m_cpu")

  at_sizes=() walls=() cpus=() on=("" "") last=
  missed=no
  for size in "${sizes[@]}"; do
    if [ "$missed" = yes ]; then
      misses=$((misses + 1)) m_wall=">$limit" m_cpu=""
    else
      measure "$runs" "$limit" "$work/out" "${on_env[@]}" "$work/$name.vexa" "$size"
      if [ "$m_miss" = 1 ]; then
        misses=$((misses + 1)) missed=yes
      else
        check "$name" "$size" "detection on" "$work/out"
        last=$size last_wall=$m_wall last_cpu=$m_cpu last_rss=$m_rss
      fi
    fi
    walls+=("$m_wall") cpus+=("$m_cpu")
    at_sizes+=("$size: $(cell "$m_wall" "$m_cpu")")
    [ "$size" = "$largest" ] && on=("$m_wall" "$m_cpu")
  done

  # Slowdown and RSS at the largest size where detection on finished.
  slowdown=- rss=-
  if [ -n "$last" ]; then
    slowdown=$(cell "$(ratio "$last_wall" "${plain_wall[$last]}")" "$(ratio "$last_cpu" "${plain_cpu[$last]}")")
    rss=$(ratio "$last_rss" "${plain_rss[$last]}")
    if [ "$last" != "$largest" ]; then
      slowdown="$slowdown (at $last)"
      [ "$rss" = - ] || rss="$rss (at $last)"
    fi
  fi

  growths=()
  for i in 0 1 2; do
    gw=$(growth "${walls[$i]}" "${work_done[${sizes[$i]}]}" "${walls[$((i + 1))]}" "${work_done[${sizes[$((i + 1))]}]}")
    gc=$(growth "${cpus[$i]}" "${work_done[${sizes[$i]}]}" "${cpus[$((i + 1))]}" "${work_done[${sizes[$((i + 1))]}]}")
    growths+=("$(cell "$gw" "$gc")")
  done

  run_once "$limit" "$work/count" "${count_env[@]}" "$work/$name.vexa" "${sizes[0]}"
  if [ "$r_miss" = 1 ]; then
    misses=$((misses + 1)) reports="> limit"
  else
    sharing=$(grep -c '^tsm: ' "$work/count.err")
    reentrant=$(grep -c '^re (' "$work/count.err")
    reports="$sharing / $reentrant (at ${sizes[0]})"
  fi

  rows+=("| $name | $largest | $(cell "${plain[0]}" "${plain[1]}") | $(cell "${off[0]}" "${off[1]}") | $(cell "${on[0]}" "${on[1]}") | $slowdown | $rss | $reports | $(IFS=';'; echo "${at_sizes[*]}" | sed 's/;/, /g') | $(IFS=';'; echo "${growths[*]}" | sed 's/;/, /g') |")
  unset reference work_done plain_wall plain_cpu plain_rss
done

{
  echo "| program | size | plain s (wall / cpu) | hooks off s | detection on s | slowdown on/plain | max RSS on/plain | reports sharing / reentrant | detection on at 4 sizes, s | growth per doubling |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  load=$(cut -d ' ' -f 1-3 /proc/loadavg)
  arch=native
  [ -n "$m32" ] && arch=i386
  [ -n "$m32" ] && [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && arch="i386 under qemu"
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $arch, $OMP_NUM_THREADS threads, $which sizes, $runs run(s) per figure (median), limit ${limit} s, load average $load"
  echo "misses (runs past the limit or not run after one): $misses"
  table_footer "every finished run printed the plain run's checksum"
} | if [ -n "$table_file" ]; then tee "$table_file"; else cat; fi
[ ${#mismatches[@]} -eq 0 ]
