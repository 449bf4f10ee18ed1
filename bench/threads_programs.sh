#!/usr/bin/env bash
# Real threaded programs: open-source thread pools and a C11 threads library
# built plain, with the vexa wrappers and with ThreadSanitizer, their own
# tests run as the workload, and the distinct race reports of vexa and of
# ThreadSanitizer listed side by side with a judgement of each.
#
#   bash bench/threads_programs.sh [-b BUILD-DIRECTORY] [-o DIR] [-c]
#                                  [PROGRAM...]
#
#   -b DIR   the x86_64 build whose bin/vexa-gcc is used (default build64;
#            ThreadSanitizer has no i386 runtime to compare with)
#   -o DIR   keep sources, builds, logs and report listings in DIR
#            (default: a temporary directory, removed at the end)
#   -c       also build with vexa-clang and count its reports
#   PROGRAM  only these (cthreadpool mbthreadpool progschj tinycthread
#            mpmcqueue futexmutex)
#
# Sources come from local git mirrors (MIRRORS, default /work/.mirror,
# OWNER+NAME/repo), else from a clone of GitHub, at the commits pinned below. Every program is built with -g -O1
# through its own build (Makefile, CMake, or the compile line of its test
# scripts or README), unchanged but for CC/CXX and the flags: plain with
# gcc/g++, with vexa-gcc/vexa-g++ (-c: also vexa-clang/vexa-clang++), and
# with gcc/g++ -fsanitize=thread. Each workload
# runs once per build under `setarch -R` (fixed load address, so that
# vexa's code addresses map to lines with addr2line): vexa with
# VEXA_GUARD=7 VEXA_LOGGING=1 VEXA_PRINT_LIMIT=0 (the wrapper's defaults
# otherwise: race view, distinct reports), ThreadSanitizer with exitcode=0. Times are wall-clock
# seconds of the whole workload on a shared machine: read them as orders
# of magnitude.
#
# A report is the pair of source lines of its two accesses, unordered;
# vexa's are read from its "at address" lines, ThreadSanitizer's from the
# first frame of the access and of the previous access of each "data race"
# warning (its other warnings are counted apart). Each pair is looked up in
# bench/threads_programs/judgements.txt (PROGRAM, the two places, true or
# false, why): reports not found there are counted as unjudged.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
judgements=$here/threads_programs/judgements.txt

build=build64
out=
with_clang=no
while getopts b:o:ch option; do
  case $option in
    b) build=$OPTARG ;;
    o) out=$OPTARG ;;
    c) with_clang=yes ;;
    *) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 64 ;;
  esac
done
shift $((OPTIND - 1))
all=(cthreadpool mbthreadpool progschj tinycthread mpmcqueue futexmutex)
selected=("$@")
[ ${#selected[@]} -gt 0 ] || selected=("${all[@]}")

bin=$(cd "$build/bin" 2>/dev/null && pwd) || bin=
if [ -z "$bin" ] || [ ! -x "$bin/vexa-gcc" ]; then
  echo "threads_programs.sh: $build/bin/vexa-gcc is missing; build it (cmake --build $build --target vexa_threads)" >&2
  exit 66
fi
if grep -q '^VEXA_M32:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "threads_programs.sh: $build is an i386 build; ThreadSanitizer needs x86_64 (-b build64)" >&2
  exit 64
fi
for tool in setarch addr2line make gcc g++; do
  command -v "$tool" >/dev/null || { echo "threads_programs.sh: $tool is missing" >&2; exit 66; }
done

if [ -n "$out" ]; then
  mkdir -p "$out" && work=$(cd "$out" && pwd)
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/vexa-threads-programs.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi

# PIE programs load here under setarch -R on x86_64.
load_base=0x555555554000
mirrors=${MIRRORS:-/work/.mirror}

# --- the programs --------------------------------------------------------
# Each has a repository and commit, a build (build_NAME DIR CC CXX FLAGS,
# in its source tree DIR) and a workload (workload_NAME: one command a
# line, an executable of the tree and its arguments; each command's stderr
# is kept apart, to map its code addresses with its own executable).

declare -A repo commit describe
repo[cthreadpool]=Pithikos/C-Thread-Pool
commit[cthreadpool]=2b56942a7347280ea4d0ede238cefacef96db4bb
describe[cthreadpool]='tests/src: conc_increment 100000 jobs at 4 threads and 1000 at 100 threads, wait 200 jobs at 4 threads waiting for each and for all'
build_cthreadpool() {  # the compile line of tests/funcs.sh
  local dir=$1 cc=$2 flags=$4 t
  for t in conc_increment wait; do
    (cd "$dir/tests" && $cc $flags "src/$t.c" ../thpool.c -D THPOOL_DEBUG -pthread -o "$t") || return 1
  done
}
workload_cthreadpool() {
  printf '%s\n' 'tests/conc_increment 100000 4' 'tests/conc_increment 1000 100' \
    'tests/wait 200 4 1 0' 'tests/wait 200 4 0 0'
}

repo[mbthreadpool]=mbrossard/threadpool
commit[mbthreadpool]=9f7df71c1274fbb6af5a25a1d190044d9c1eda08
describe[mbthreadpool]='make test: shutdown (8192 tasks, 4 threads, immediate and graceful), thrdtest (32 threads), heavy (64 pools of 4 threads, 8192 tasks passed through all)'
build_mbthreadpool() {  # its Makefile, the flags given as make's variables
  local dir=$1 cc=$2 flags=$4 ldflags=
  case $flags in *-fsanitize=thread*) ldflags=-fsanitize=thread ;; esac
  make -s -C "$dir" CC="$cc" CFLAGS="-D_REENTRANT -Wall -pedantic -Isrc $flags" LDFLAGS="$ldflags" \
    tests/shutdown tests/thrdtest tests/heavy
}
workload_mbthreadpool() { printf '%s\n' tests/shutdown tests/thrdtest tests/heavy; }

repo[progschj]=progschj/ThreadPool
commit[progschj]=9a42ec1329f259a5f4881a291db1dcb8f2ad9040
describe[progschj]='example.cpp: 8 tasks of 1 s at 4 threads, results through std::future'
build_progschj() {  # its README's compile line: a header and an example
  local dir=$1 cxx=$3 flags=$4
  (cd "$dir" && $cxx -std=c++11 $flags example.cpp -pthread -o example)
}
workload_progschj() { echo example; }

repo[tinycthread]=tinycthread/tinycthread
commit[tinycthread]=6957fc8383d6c7db25b60b8c849b29caab1caaee
describe[tinycthread]='test/Makefile check: C11 threads over POSIX (128 threads locking, recursive and timed mutexes, condition variables, once, thread-specific storage, thrd_exit)'
build_tinycthread() {  # test/Makefile; its CFLAGS carry -c and the include path
  local dir=$1 cc=$2 flags=$4 ldflags=
  case $flags in *-fsanitize=thread*) ldflags=-fsanitize=thread ;; esac
  make -s -C "$dir/test" CC="$cc" CFLAGS="-W -std=c89 -pedantic $flags -c -I../source" LFLAGS="$ldflags" test
}
workload_tinycthread() { echo test/test; }

repo[mpmcqueue]=rigtorp/MPMCQueue
commit[mpmcqueue]=b9808ede08f26fa9df4df4e081d19cace8f6c6ea
describe[mpmcqueue]='CMake, MPMCQueueExample: a bounded queue ordered by release/acquire atomics, two consumers'
# (its MPMCQueueTest spins 20 threads on a flag: minutes under ThreadSanitizer on 2 cores)
build_mpmcqueue() {  # its CMakeLists.txt, a fresh build directory
  local dir=$1 cxx=$3 flags=$4 ldflags=
  case $flags in *-fsanitize=thread*) ldflags=-fsanitize=thread ;; esac
  cmake -S "$dir" -B "$dir/build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null &&
    cmake --build "$dir/build" -j2 --target MPMCQueueExample >/dev/null
}
workload_mpmcqueue() { echo build/MPMCQueueExample; }

repo[futexmutex]=sysprog21/concurrent-programs
commit[futexmutex]=e04b9c3654043276f523a50b9f29fd7d135d5809
describe[futexmutex]='mutex/example test_linux: 16 threads in a chain of nodes and a clock, on its own mutex and condition variable built from C11 atomics and futex calls'
build_futexmutex() {  # mutex/example/Makefile; its per-target -DUSE_LINUX is lost when CFLAGS is given
  local dir=$1 cc=$2 flags=$4
  make -s -C "$dir/mutex/example" CC="$cc" CFLAGS="-I.. -std=c11 -Wall -D_GNU_SOURCE $flags -DUSE_LINUX" test_linux
}
workload_futexmutex() { echo mutex/example/test_linux; }

# --- sources ---------------------------------------------------------------
source_of() {  # source_of NAME DEST: the pinned commit's tree in DEST
  local name=$1 dest=$2 git_dir=$mirrors/${repo[$1]/\//+}/repo
  rm -rf "$dest" && mkdir -p "$dest"
  if git --git-dir="$git_dir" cat-file -e "${commit[$name]}^{commit}" 2>/dev/null; then
    git --git-dir="$git_dir" archive "${commit[$name]}" | tar -x -C "$dest"
  else
    git clone -q "https://github.com/${repo[$name]}.git" "$dest" &&
      git -C "$dest" checkout -q "${commit[$name]}"
  fi
}

# --- reports ---------------------------------------------------------------
declare -A where_cache
where() {  # where EXE ADDRESS: "function file:line" of a return address
  local key="$1 $2" off fn line loc=$2
  if [ -z "${where_cache[$key]+x}" ]; then
    off=$(printf '0x%x' $(($2 - load_base - 1)))
    { read -r fn; read -r line; } < <(addr2line -f -e "$1" "$off" 2>/dev/null)
    line=${line%% (discriminator*}
    case $line in ''|'??:'*|*':?') ;; *) loc="$fn ${line##*/}" ;; esac
    where_cache[$key]=$loc
  fi
  echo "${where_cache[$key]}"
}

vexa_pairs() {  # vexa_pairs LOG EXE: one line per distinct pair of places
  local a b pa pb
  awk '/^vexa: data sharing detected/ { n = 0; next }
       / at address 0x/ { p[n++] = $NF; if (n == 2) { print p[0], p[1]; n = 0 } }' "$1" |
    sort -u | while read -r a b; do
      pa=$(where "$2" "$a") pb=$(where "$2" "$b")
      if [[ "$pa" > "$pb" ]]; then echo "$pb | $pa"; else echo "$pa | $pb"; fi
    done
}

tsan_pairs() {  # tsan_pairs LOG: one line per pair of places of a data race
  awk 'function place(s) {  # "#0 FUNCTION FILE:LINE[:COLUMN] (MODULE+0x..)"
         sub(/^ *#0 /, "", s); sub(/ \([^()]*\)$/, "", s)
         f = s; sub(/ [^ ]*$/, "", f); l = s; sub(/^.* /, "", l)
         if (l ~ /:[0-9]+:[0-9]+$/) sub(/:[0-9]+$/, "", l)
         sub(/^.*\//, "", l)
         return f " " l }
       /WARNING: ThreadSanitizer: data race/ { race = 1; want = ""; a = b = ""; next }
       /^==================$/ { if (race && a != "" && b != "") print (a < b ? a " | " b : b " | " a); race = 0; next }
       !race { next }
       /^  (Write|Read|Atomic write|Atomic read)/ { want = "a"; next }
       /^  Previous / { want = "b"; next }
       /^ *#0 / && want == "a" && a == "" { a = place($0); want = ""; next }
       /^ *#0 / && want == "b" && b == "" { b = place($0); want = ""; next }' "$1" | sort -u
}

tsan_other() {  # tsan_other LOG: the other warnings, kind and count
  grep -o 'WARNING: ThreadSanitizer: [a-z -]*' "$1" | grep -v 'data race' |
    sed 's/WARNING: ThreadSanitizer: //; s/ *$//' | sort | uniq -c |
    awk '{ c = $1; $1 = ""; sub(/^ /, ""); printf "%s%s %d", (NR > 1 ? ", " : ""), $0, c }'
}

judge() {  # judge NAME PAIRS-FILE: prefix each pair with its judgement
  local name=$1 pair verdict
  while IFS= read -r pair; do
    verdict=$(awk -F '\t' -v p="$name" -v q="$pair" '$1 == p && $2 == q { print $3 "\t" q "\t" $4; exit }' "$judgements" 2>/dev/null)
    printf '%s\n' "${verdict:-unjudged	$pair}"
  done < "$2"
}

count_of() {  # count_of JUDGED-FILE: "N (true T / false F[ / unjudged U])"
  awk -F '\t' '{ n++; c[$1]++ }
    END { printf "%d (%d true / %d false%s)", n, c["true"], c["false"], c["unjudged"] ? " / " c["unjudged"] " unjudged" : "" }' "$1"
}

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1fx", (a > 0 ? b / a : 0) }'; }

timed() {  # timed NAME KIND: runs the workload of build KIND, sets elapsed
  local name=$1 kind=$2 dir=$work/$1/$2 start status n=0 cmd
  local -a run
  case $kind in
    plain) run=(env -u VEXA_LOGGING setarch -R) ;;
    vexa*) run=(env VEXA_GUARD=7 VEXA_LOGGING=1 VEXA_PRINT_LIMIT=0 setarch -R) ;;
    tsan) run=(env TSAN_OPTIONS="exitcode=0 ${TSAN_OPTIONS:-}" setarch -R) ;;
  esac
  start=$EPOCHREALTIME
  while read -r -a cmd; do
    n=$((n + 1))
    (cd "$dir" && "${run[@]}" "./${cmd[0]}" "${cmd[@]:1}") >"$work/$name/$kind.out.$n" 2>"$work/$name/$kind.err.$n" </dev/null
    status=$?
    [ $status -eq 0 ] || { echo "threads_programs.sh: $name ($kind) ${cmd[*]} failed with status $status (see $work/$name/$kind.err.$n)" >&2; failures=$((failures + 1)); }
  done < <("workload_$name")
  elapsed=$(seconds "$start" "$EPOCHREALTIME")
}

kinds=(plain vexa tsan)
[ "$with_clang" = yes ] && kinds+=(vexa-clang)
failures=0
rows=()
for name in "${selected[@]}"; do
  [ -n "${repo[$name]+x}" ] || { echo "threads_programs.sh: no program $name (${all[*]})" >&2; exit 64; }
  echo "threads_programs.sh: $name (${repo[$name]} ${commit[$name]:0:7})" >&2
  mkdir -p "$work/$name"
  source_of "$name" "$work/$name/src" || { echo "threads_programs.sh: no source for ${repo[$name]}" >&2; exit 66; }
  for kind in "${kinds[@]}"; do
    cp -r "$work/$name/src" "$work/$name/$kind"
    case $kind in
      plain) cc=gcc cxx=g++ flags='-g -O1' ;;
      vexa) cc=$bin/vexa-gcc cxx=$bin/vexa-g++ flags='-g -O1' ;;
      vexa-clang) cc=$bin/vexa-clang cxx=$bin/vexa-clang++ flags='-g -O1' ;;
      tsan) cc=gcc cxx=g++ flags='-g -O1 -fsanitize=thread' ;;
    esac
    "build_$name" "$work/$name/$kind" "$cc" "$cxx" "$flags" >"$work/$name/$kind.build" 2>&1 ||
      { cat "$work/$name/$kind.build" >&2; echo "threads_programs.sh: $name ($kind) does not build" >&2; exit 1; }
  done
  declare -A took=()
  for kind in "${kinds[@]}"; do
    timed "$name" "$kind"
    took[$kind]=$elapsed
  done
  for kind in "${kinds[@]}"; do
    [ "$kind" = plain ] && continue
    n=0
    while read -r exe _; do
      n=$((n + 1))
      case $kind in
        vexa*) vexa_pairs "$work/$name/$kind.err.$n" "$work/$name/$kind/$exe" ;;
        tsan) tsan_pairs "$work/$name/tsan.err.$n" ;;
      esac
    done < <("workload_$name") | sort -u >"$work/$name/$kind.pairs"
    judge "$name" "$work/$name/$kind.pairs" >"$work/$name/$kind.judged"
  done
  other=$(cat "$work/$name"/tsan.err.* | tsan_other /dev/stdin)
  row="| $name | ${repo[$name]} ${commit[$name]:0:7} | ${describe[$name]} | ${took[plain]} | ${took[vexa]} ($(ratio "${took[plain]}" "${took[vexa]}"))"
  row+=" | ${took[tsan]} ($(ratio "${took[plain]}" "${took[tsan]}")) | $(count_of "$work/$name/vexa.judged")"
  row+=" | $(count_of "$work/$name/tsan.judged")${other:+; also $other}"
  [ "$with_clang" = yes ] && row+=" | ${took[vexa-clang]} | $(count_of "$work/$name/vexa-clang.judged")"
  rows+=("$row |")
  for kind in "${kinds[@]}"; do
    [ -e "$work/$name/$kind.judged" ] || continue
    echo "$name, $kind: distinct reports"
    # vexa's false reports that ThreadSanitizer does not make are what the
    # bridge has to mend; mark them.
    while IFS=$'\t' read -r verdict pair why; do
      mark=
      case $kind in vexa*) [ "$verdict" = true ] || grep -qxF "$pair" "$work/$name/tsan.pairs" || mark=' [vexa only]' ;; esac
      echo "  $verdict$mark: $pair${why:+ -- $why}"
    done < "$work/$name/$kind.judged"
  done
  unset took
done

header='| program | repository, commit | workload | plain s | vexa s | TSan s | vexa distinct reports | TSan distinct reports |'
rule='|---|---|---|---|---|---|---|---|'
[ "$with_clang" = yes ] && header+=' vexa-clang s | vexa-clang distinct reports |' rule+='---|---|'
echo
echo "$header"
echo "$rule"
printf '%s\n' "${rows[@]}"
[ $failures -eq 0 ] || { echo "threads_programs.sh: $failures workload runs failed" >&2; exit 1; }
