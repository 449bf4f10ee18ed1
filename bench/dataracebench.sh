#!/usr/bin/env bash
# Scores vexa on DataRaceBench's C and C++ micro-benchmarks, program by
# program, beside the native race detector (clang -fsanitize=thread, with and
# without LLVM's OpenMP tool for it, libarcher).
#
#   bash bench/dataracebench.sh [-b BIN] [-t THREADS] [-c gcc|clang|both] [-n]
#                               [-T SECONDS] [-j JOBS] [-o OUT] [-p REGEX] DRB_DIR
#
#   DRB_DIR  a DataRaceBench checkout (the directory holding micro-benchmarks/:
#            git clone https://github.com/LLNL/dataracebench)
#   -b BIN   the directory of vexa-cc (default: build64/bin of this tree)
#   -t LIST  OMP_NUM_THREADS, one or more separated by commas (default 4);
#            each program is built once and run at each
#   -c WHICH vexa's builds: gcc, clang or both (default both)
#   -n       leave out the native detector
#   -T S     time limit per run (default 30)
#   -j N     compilations and runs at once (default 2)
#   -o OUT   keep binaries, logs and results here (default: a new /tmp dir)
#   -p REGEX only the programs whose file name matches
#
# A program is labelled racy by its name (-yes) or race-free (-no), and counts
# as reported when its run's stderr holds one detection: "vexa: data sharing
# detected" (vexa, VEXA_GUARD=7 VEXA_LOGGING=9 over the wrappers' defaults) or
# "WARNING: ThreadSanitizer: data race". TP = racy reported, FP = race-free
# reported, FN = racy quiet, TN = race-free quiet. Timeouts, crashes (killed
# by a signal) and other non-zero exits are counted apart, and scored by what
# they printed before they ended. A program a build cannot compile or link is
# not scored for that build; the summary names it with the compiler's first
# error.
#
# vexa runs under `setarch -R`, so that the code addresses of its reports map
# to lines: OUT/<build>/<program>.t<N>.lines lists each distinct report (the
# first 20) as "r|w file:line function" per access, marked "[labelled]" when
# every line is one the program's "Data race pair" comments name; the same
# for ThreadSanitizer. OUT/results.tsv has a line per run, OUT/summary.md the
# table and the lists of programs by verdict.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$here/../build64/bin
threads=4
which=both
native=1
limit=30
jobs=2
out=
pattern=.
usage() { sed -n '6,19p' "$0" >&2; exit 2; }
while getopts b:t:c:nT:j:o:p:h opt; do
  case $opt in
    b) bin=$OPTARG ;;
    t) threads=$OPTARG ;;
    c) which=$OPTARG ;;
    n) native=0 ;;
    T) limit=$OPTARG ;;
    j) jobs=$OPTARG ;;
    o) out=$OPTARG ;;
    p) pattern=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] || usage
drb=$(cd "$1" 2>/dev/null && pwd) || { echo "dataracebench: no directory $1" >&2; exit 2; }
src=$drb/micro-benchmarks
[ -d "$src" ] || { echo "dataracebench: $drb has no micro-benchmarks/ (give the DataRaceBench checkout)" >&2; exit 2; }
case $which in gcc) builds="vexa-gcc" ;; clang) builds="vexa-clang" ;; both) builds="vexa-gcc vexa-clang" ;; *) usage ;; esac
[[ $threads =~ ^[0-9]+(,[0-9]+)*$ ]] || usage
if [ ! -x "$bin/vexa-cc" ]; then
  echo "dataracebench: no $bin/vexa-cc (build the wrappers: cmake --build build64 --target vexa_openmp vexa_threads)" >&2
  exit 2
fi
bin=$(cd "$bin" && pwd)
if [ "$native" = 1 ]; then
  if ! command -v clang >/dev/null; then
    echo "dataracebench: no clang; the native detector is left out" >&2
    native=0
  else
    builds="$builds tsan"
  fi
fi
archer=$(ls /usr/lib/llvm-*/lib/libarcher.so 2>/dev/null | sort -V | tail -1)
[ -n "$out" ] || out=$(mktemp -d /tmp/dataracebench.XXXXXX)
mkdir -p "$out"
out=$(cd "$out" && pwd)
export bin src out limit archer

programs=$(cd "$src" && ls DRB*-yes.c DRB*-no.c DRB*-yes.cpp DRB*-no.cpp 2>/dev/null | grep -E -- "$pattern" | sort)
[ -n "$programs" ] || { echo "dataracebench: no program matches $pattern" >&2; exit 2; }

# compile_one BUILD FILE: OUT/BUILD/NAME, or OUT/BUILD/NAME.compile holding
# the compiler's complaints.
compile_one() {
  local build=$1 file=$2 name=${2%.*} cxx=0 extra=() cmd
  [[ $file == *.cpp ]] && cxx=1
  # PolyBench kernels need its timing support and headers (as DataRaceBench's
  # own harness builds them).
  if grep -q PolyBench "$src/$file"; then
    extra=("$src/utilities/polybench.c" -I "$src" -I "$src/utilities" -DPOLYBENCH_NO_FLUSH_CACHE
           -DPOLYBENCH_TIME -D_POSIX_C_SOURCE=200112L)
  fi
  mkdir -p "$out/$build"
  case $build in
    vexa-gcc) if [ $cxx = 1 ]; then cmd=(env VEXA_CXX=g++ "$bin/vexa-c++"); else cmd=(env VEXA_CC=gcc "$bin/vexa-cc"); fi ;;
    vexa-clang) if [ $cxx = 1 ]; then cmd=(env VEXA_CXX=clang++ "$bin/vexa-c++"); else cmd=(env VEXA_CC=clang "$bin/vexa-cc"); fi ;;
    tsan) if [ $cxx = 1 ]; then cmd=(clang++ -fsanitize=thread); else cmd=(clang -fsanitize=thread); fi ;;
  esac
  if "${cmd[@]}" -g -O0 -fopenmp "$src/$file" "${extra[@]}" -o "$out/$build/$name" -lm \
      >"$out/$build/$name.compile" 2>&1; then
    rm -f "$out/$build/$name.compile"
  else
    rm -f "$out/$build/$name"
  fi
}
export -f compile_one

# labelled_lines FILE: the line numbers the program's comments name as
# racing ("Data race pair: a[i+1]@64:10:R vs. a[i]@64:5:W"), one a line.
labelled_lines() {
  grep -oE '@[0-9]+:[0-9]+' "$1" | sed 's/^@//; s/:.*//' | sort -u
}
export -f labelled_lines

# symbolize EXE LOG SOURCE: each distinct vexa report of LOG (its one-line
# form) as the lines of its accesses, marked "[labelled]" when all are lines
# the source names.
symbolize() {
  local exe=$1 log=$2 source=$3 base=0 labels
  readelf -h "$exe" 2>/dev/null | grep -q 'DYN' && base=$((0x555555554000))  # setarch -R's load address
  labels=" $(labelled_lines "$source" | tr '\n' ' ')"
  grep '^tsm: ' "$log" | head -20 | while read -r line; do
    local addrs=() kinds=() a
    for a in $(grep -oE '@ 0x[0-9a-f]+' <<<"$line" | cut -c3-); do
      addrs+=("$(printf '0x%x' $((a - base - 1)))")  # a return address: the call is before it
    done
    for a in $(grep -oE ': [rw] 0x' <<<"$line" | cut -c3); do kinds+=("$a"); done
    local where n=0 all=1 text=
    while read -r where; do
      local ln=${where##*:}; ln=${ln%% *}
      local fn=${where%% at *}
      local file=${where##* at }; file=${file##*/}
      text+="${kinds[$n]} ${file%% *} $fn | "
      [[ $labels == *" $ln "* ]] || all=0
      n=$((n + 1))
    done < <(addr2line -f -p -e "$exe" "${addrs[@]}" 2>/dev/null | sed 's/ (discriminator [0-9]*)//')
    echo "${text% | }$([ $all = 1 ] && echo '  [labelled]')"
  done
}
export -f symbolize

# tsan_lines LOG SOURCE: the same for ThreadSanitizer's reports, from the
# first frame of each access.
tsan_lines() {
  local labels=" $(labelled_lines "$2" | tr '\n' ' ')"
  awk -v labels="$labels" '
    /^WARNING: ThreadSanitizer: data race/ { if (text != "") print text (all ? "  [labelled]" : ""); text = ""; all = 1; want = 0; next }
    /^  (Previous |Atomic )?([Rr]ead|[Ww]rite) of size/ { want = 1; kind = $0 ~ /[Ww]rite of/ ? "w" : "r"; next }
    want && /#0 / { want = 0; n = split($0, f, " "); where = f[3]; sub(/.*\//, "", where); sub(/:[0-9]+$/, "", where)
                    ln = where; sub(/.*:/, "", ln); if (index(labels, " " ln " ") == 0) all = 0
                    text = text (text == "" ? "" : " | ") kind " " where " " f[2] }
    END { if (text != "") print text (all ? "  [labelled]" : "") }' "$1" | sort -u | head -20
}
export -f tsan_lines

# run_one BUILD NAME THREADS: OUT/BUILD/NAME.tTHREADS.{err,lines,result}; the
# result is "status reports note seconds", the note "labelled" when a report
# names only labelled lines.
run_one() {
  local build=$1 name=$2 t=$3 exe=$out/$1/$2 status=0 reports notes=() began
  local err=$out/$build/$name.t$t.err source=("$src/$name".c*)
  # Only the variables this run sets: a VEXA_*, OMP_* or TSAN_* of the
  # caller would change it.
  local clean=($(env | sed -n 's/^\(\(VEXA\|OMP\|KMP\|TSAN\|ARCHER\)_[A-Za-z0-9_]*\)=.*/-u \1/p'))
  began=$(date +%s.%N)
  # The shell's own word on a crash goes to /dev/null: the status says it.
  case $build in
    vexa-*)
      (cd "$out/$build" && env "${clean[@]}" OMP_NUM_THREADS="$t" VEXA_GUARD=7 VEXA_LOGGING=9 \
        timeout "$limit" setarch "$(uname -m)" -R "$exe" >/dev/null 2>"$err") 2>/dev/null || status=$?
      reports=$(grep -c '^vexa: data sharing detected' "$err")
      symbolize "$exe" "$err" "${source[0]}" >"${err%.err}.lines" ;;
    tsan|tsan-bare)
      local tool=(OMP_TOOL_LIBRARIES="$archer" ARCHER_OPTIONS=verbose=1)
      [ $build = tsan-bare ] && tool=(OMP_TOOL=disabled)
      exe=$out/tsan/$name
      mkdir -p "$out/$build"
      err=$out/$build/$name.t$t.err
      (cd "$out/$build" && env "${clean[@]}" OMP_NUM_THREADS="$t" "${tool[@]}" \
        TSAN_OPTIONS="exitcode=0 halt_on_error=0 ignore_noninstrumented_modules=1" \
        timeout "$limit" "$exe" >"${err%.err}.out" 2>"$err") 2>/dev/null || status=$?
      reports=$(grep -c '^WARNING: ThreadSanitizer: data race' "$err")
      tsan_lines "$err" "${source[0]}" >"${err%.err}.lines"
      # The tool says on stdout that it is there.
      if [ $build = tsan ] && ! grep -q '^Archer detected' "${err%.err}.out"; then notes+=(no-archer); fi ;;
  esac
  grep -q 'labelled\]' "${err%.err}.lines" && notes+=(labelled)
  local IFS=,
  echo "$status $reports ${notes[*]:--} $(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')" \
    >"$out/$build/$name.t$t.result"
}
export -f run_one

started=$(date +%s)
echo "dataracebench: $(wc -w <<<"$programs") programs, builds: $builds, threads: $threads, output in $out" >&2
for b in $builds; do
  for p in $programs; do echo "$b $p"; done
done | xargs -P "$jobs" -n 2 bash -c 'compile_one "$0" "$1"'
compiled=$(date +%s)

runs=$builds
[ "$native" = 1 ] && [ -n "$archer" ] && runs="$runs tsan-bare"
[ "$native" = 1 ] && [ -z "$archer" ] && runs=${runs/tsan/tsan-bare}
for b in $runs; do
  for p in $programs; do
    for t in ${threads//,/ }; do
      [ -x "$out/${b/-bare/}/${p%.*}" ] && echo "$b ${p%.*} $t"
    done
  done
done | xargs -P "$jobs" -n 3 bash -c 'run_one "$0" "$1" "$2"'
finished=$(date +%s)

# One line per build, program and thread count: build threads program label
# status reports notes seconds; status "-" when the build made no program.
results=$out/results.tsv
for b in $runs; do
  for p in $programs; do
    name=${p%.*}; label=race-free
    [[ $name == *-yes ]] && label=racy
    for t in ${threads//,/ }; do
      if [ -f "$out/$b/$name.t$t.result" ]; then
        printf '%s\t%s\t%s\t%s\t%s\n' "$b" "$t" "$name" "$label" "$(tr ' ' '\t' <"$out/$b/$name.t$t.result")"
      else
        printf '%s\t%s\t%s\t%s\t-\t0\t-\t0\n' "$b" "$t" "$name" "$label"
      fi
    done
  done
done >"$results"

{
  echo "| build | threads | scored | TP | FP | FN | TN | precision | recall | TP on labelled lines | timeouts | crashes | other non-zero exits | not built | run time s |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  awk -F'\t' '
    function ratio(a, b) { return b ? sprintf("%.3f", a / b) : "-" }
    { k = $1 "\t" $2; if (!(k in seen)) { seen[k] = 1; order[++n] = k }
      if ($5 == "-") { nb[k]++; next }
      hit = $6 > 0; racy = $4 == "racy"; secs[k] += $8
      if (racy && hit) { tp[k]++; if ($7 ~ /labelled/) lab[k]++ } else if (racy) fn[k]++; else if (hit) fp[k]++; else tn[k]++
      if ($5 == 124) to[k]++; else if ($5 > 128) cr[k]++; else if ($5 != 0) ex[k]++ }
    END { for (i = 1; i <= n; ++i) { k = order[i]; split(k, f, "\t")
      name = f[1] == "tsan" ? "tsan + archer" : f[1] == "tsan-bare" ? "tsan, no OpenMP tool" : f[1]
      printf "| %s | %s | %d | %d | %d | %d | %d | %s | %s | %d | %d | %d | %d | %d | %.0f |\n", name, f[2], tp[k] + fp[k] + fn[k] + tn[k],
        tp[k], fp[k], fn[k], tn[k], ratio(tp[k], tp[k] + fp[k]), ratio(tp[k], tp[k] + fn[k]), lab[k], to[k], cr[k], ex[k], nb[k], secs[k] } }' "$results"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -m), vexa from $bin" \
       "($(git -C "$bin/.." rev-parse --short HEAD 2>/dev/null || git -C "$here" rev-parse --short HEAD 2>/dev/null || echo 'commit unknown')," \
       "libraries of $(date -u -r "$(ls -t "$bin"/../lib/libvexa*.so 2>/dev/null | head -1)" '+%Y-%m-%d %H:%M UTC' 2>/dev/null || echo '?')), limit $limit s, $jobs at once," \
       "compiling $((compiled - started)) s, running $((finished - compiled)) s, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  [ "$native" = 1 ] && echo "native: $(clang --version | head -1), OpenMP tool: ${archer:-none found}"
  echo
  for b in $runs; do
    for t in ${threads//,/ }; do
      awk -F'\t' -v b="$b" -v t="$t" '$1 == b && $2 == t && $5 != "-" {
          hit = $6 > 0; id = substr($3, 4, 3)
          if ($4 == "racy" && !hit) fn = fn " " id; if ($4 != "racy" && hit) fp = fp " " id
          if ($4 == "racy" && hit && $7 !~ /labelled/) off = off " " id
          if ($5 == 124) to = to " " id; else if ($5 > 128) cr = cr " " id "(" $5 ")"; else if ($5 != 0) ex = ex " " id "(" $5 ")"
          if ($7 ~ /no-archer/) na = na " " id }
        END { printf "%s, %s threads (DRB numbers):\n  false positives:%s\n  false negatives:%s\n", b, t, fp ? fp : " none", fn ? fn : " none"
              if (off) print "  racy and reported, but no report on labelled lines only:" off
              if (to) print "  timeouts:" to; if (cr) print "  crashes (signal):" cr; if (ex) print "  other non-zero exits:" ex
              if (na) print "  runs without the OpenMP tool loaded:" na }' "$results"
    done
  done
  for b in $builds; do
    for p in $programs; do
      [ -f "$out/$b/${p%.*}.compile" ] || continue
      why=$(grep -m1 -E 'error|undefined reference' "$out/$b/${p%.*}.compile" | sed "s|$src/||; s|^/usr/bin/ld: [^:]*: ||")
      echo "not built by $b: $p: ${why:-$(head -1 "$out/$b/${p%.*}.compile")}"
    done
  done
} | tee "$out/summary.md"
