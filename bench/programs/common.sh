# Shared by bench/programs.sh and bench/side_by_side.sh: the program list,
# timed runs, medians and the table's number formats. Sourced, not run.

programs_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

program_names() {
  awk '!/^#/ && NF { print $1 }' "$programs_dir/sizes"
}

# program_sizes NAME full|quick: the program's four input sizes;
# SIZES_<NAME> in the environment ("250000 500000 1000000 2000000")
# replaces both lists.
program_sizes() {
  local override=SIZES_$1
  if [ -n "${!override:-}" ]; then
    echo "${!override}"
    return
  fi
  awk -v name="$1" -v which="$2" '!/^#/ && $1 == name {
    if (which == "quick") print $6, $7, $8, $9; else print $2, $3, $4, $5 }' "$programs_dir/sizes"
}

# GNU time gives the maximum resident set size; without it, bash's own
# timing gives wall and CPU time and the RSS columns stay empty.
time_bin=
if [ -x /usr/bin/time ] && /usr/bin/time -f %M true >/dev/null 2>&1; then
  time_bin=/usr/bin/time
fi

# run_once LIMIT OUT COMMAND...: runs COMMAND (stdout to OUT, stderr to
# OUT.err) with a time limit in seconds. Sets r_wall, r_cpu (user + sys,
# of the command and everything it waited for), r_rss (KB, or "-") and
# r_miss (1 when the limit was reached).
run_once() {
  local limit=$1 out=$2 stats rc
  shift 2
  stats=$(mktemp)
  if [ -n "$time_bin" ]; then
    "$time_bin" -f '%e %U %S %M' -o "$stats" timeout -k 5 "$limit" "$@" >"$out" 2>"$out.err"
    rc=$?
    read -r r_wall user sys r_rss < <(tail -n 1 "$stats")
  else
    local TIMEFORMAT='%R %U %S'
    { time timeout -k 5 "$limit" "$@" >"$out" 2>"$out.err"; } 2>"$stats"
    rc=$?
    read -r r_wall user sys < <(tail -n 1 "$stats")
    r_rss=-
  fi
  rm -f "$stats"
  r_cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  r_miss=0
  if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then r_miss=1; fi
  return 0
}

# median_of VALUES...: the middle value (the lower middle of an even count).
median_of() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# measure RUNS LIMIT OUT COMMAND...: the median of RUNS runs of COMMAND in
# m_wall, m_cpu, m_rss; m_miss=1 (and no repeat) when the first run
# reaches the limit. OUT keeps the last run's output.
measure() {
  local runs=$1 limit=$2 out=$3 walls=() cpus=() rsss=() i
  shift 3
  m_miss=0
  for ((i = 0; i < runs; i++)); do
    run_once "$limit" "$out" "$@"
    if [ "$r_miss" = 1 ]; then
      m_miss=1
      m_wall=">$limit" m_cpu="" m_rss=-
      return 0
    fi
    walls+=("$r_wall") cpus+=("$r_cpu") rsss+=("$r_rss")
  done
  m_wall=$(median_of "${walls[@]}")
  m_cpu=$(median_of "${cpus[@]}")
  if [ "$r_rss" = - ]; then m_rss=-; else m_rss=$(median_of "${rsss[@]}"); fi
}

# ratio A B: A / B to one decimal ("-" if either is missing or B is 0;
# ">x" when A is a time past the limit, written ">N").
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    over = (substr(a, 1, 1) == ">"); if (over) a = substr(a, 2)
    if (a == "" || b == "" || a == "-" || b == "-" || b + 0 == 0) { print "-"; exit }
    printf "%s%.1f", over ? ">" : "", a / b }'
}

# growth T1 W1 T2 W2: the time ratio per doubling of the work,
# (T2 / T1) ^ (1 / log2(W2 / W1)).
growth() {
  awk -v t1="$1" -v w1="$2" -v t2="$3" -v w2="$4" 'BEGIN {
    if (t1 == "" || t2 == "" || t1 ~ />/ || t2 ~ />/ || t1 + 0 <= 0 || w1 + 0 <= 0 || w2 + 0 <= w1 + 0) { print "-"; exit }
    printf "%.2f", exp(log(t2 / t1) * log(2) / log(w2 / w1)) }'
}

# The OpenMP runtime that a vexa-cc wrapper links, so that plain builds use
# the same one: the wrapper's own libomp_dir setting.
wrapper_libomp_dir() {
  local wrapper here line libomp_dir=
  wrapper=$(readlink -f "$1")
  here=$(dirname "$wrapper")
  line=$(grep -m 1 '^libomp_dir=' "$wrapper") || return 1
  eval "$line"
  [ -d "$libomp_dir" ] && (cd "$libomp_dir" && pwd)
}

# The checksum line a program prints, and the work it reports.
checksum_of() { grep -m 1 '^checksum' "$1" 2>/dev/null | sed 's/ work .*//'; }
work_of() { sed -n 's/.* work \([0-9]*\).*/\1/p' "$1" 2>/dev/null | head -n 1; }

# The last lines of a table: what could not be measured, and whether every
# run printed the checksum it should (mismatches: the array of the script).
# table_footer MATCHED-TEXT
table_footer() {
  [ -n "$time_bin" ] || echo "no /usr/bin/time (apt-get install time): wall and CPU from bash, no RSS"
  if [ ${#mismatches[@]} -eq 0 ]; then
    echo "checksums: $1"
  else
    echo "CHECKSUM MISMATCHES:"
    printf '  %s\n' "${mismatches[@]}"
  fi
}
