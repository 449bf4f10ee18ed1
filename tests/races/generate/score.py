#!/usr/bin/env python3
"""Scores vexa on random task programs whose races are known.

Generates programs (taskgen), builds each with the wrappers as a user
would, runs it with the race view on at each team size, reads the pairs of
source lines the recorder reports, and compares them with the pairs the
oracle derives from the program's structure. Prints pair-level precision
and recall per build and team size, with aborted runs counted apart, and
shrinks every disagreement to a small program that still shows it.

  score.py --build BUILD_DIR [--programs N] [--seed S] [--builds gcc_c,clang_c]
           [--threads 1,2,4] [--out DIR] [--shrink N] [--jobs J]
           [--min-precision P] [--min-recall R]
  With a threshold, exits 1 when a build and team size fall below it, or a
  run aborts or prints an error line; always when a program does not build.
"""

import argparse
import collections
import concurrent.futures
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# Nothing is written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import oracle  # noqa: E402
import taskgen  # noqa: E402

RUN_TIMEOUT = 60
# Report lines past this many are not read: a run that floods stderr is
# scored on what it said first (a chain of false reports repeats itself).
MAX_REPORT_LINES = 20000


class Toolchain:
    def __init__(self, build_dir, recorder=None):
        self.bin = os.path.join(build_dir, "bin")
        if recorder is None:
            found = glob.glob(os.path.join(build_dir, "tests", "CMakeFiles", "bridge_recorder.dir", "**", "recorder.c.o"),
                              recursive=True)
            if not found:
                sys.exit("race-generate: no recorder object in %s (build the bridge_recorder target)" % build_dir)
            recorder = found[0]
        self.recorder = recorder
        for w in ("vexa-cc", "vexa-c++"):
            if not os.access(os.path.join(self.bin, w), os.X_OK):
                sys.exit("race-generate: no %s in %s (build the project first)" % (w, self.bin))

    def compile(self, source, build, output):
        """Builds source as BUILD (gcc_c, gcc_cxx, clang_c, clang_cxx), as
        the race suite does; returns the compiler's messages on failure."""
        compiler, language = build.split("_")
        env = dict(os.environ)
        env["VEXA_CC"] = "gcc" if compiler == "gcc" else "clang"
        env["VEXA_CXX"] = "g++" if compiler == "gcc" else "clang++"
        if language == "c":
            wrapper, lang = "vexa-cc", ["-x", "c"]
        else:
            wrapper, lang = "vexa-c++", ["-x", "c++", "-std=c++20"]
        cmd = [os.path.join(self.bin, wrapper), "-g", "-O0", "-fopenmp", "-pthread"] + lang + \
              [source, self.recorder, "-o", output]
        r = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return None if r.returncode == 0 else r.stdout


class Run:
    def __init__(self):
        self.status = 0  # exit status; "timeout" when killed
        self.errors = []  # vexa-recorder: error lines
        self.pairs = set()  # (line, line), smaller first; 0 for a place outside the program
        self.seconds = 0.0

    @property
    def aborted(self):
        return self.status != 0


def run_program(binary, threads):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VEXA_")}
    env.update(VEXA_ENABLE="1", VEXA_GUARD="7", OMP_NUM_THREADS=str(threads))
    run = Run()
    start = time.time()
    with tempfile.TemporaryFile() as err:
        try:
            r = subprocess.run([binary], env=env, stdout=subprocess.DEVNULL, stderr=err, timeout=RUN_TIMEOUT)
            run.status = r.returncode
        except subprocess.TimeoutExpired:
            run.status = "timeout"
        run.seconds = time.time() - start
        err.seek(0)
        reports = []
        for n, raw in enumerate(err):
            if n >= MAX_REPORT_LINES:
                break
            line = raw.decode(errors="replace").rstrip("\n")
            if line.startswith("vexa-recorder: tsm "):
                words = line.split()[2:]
                reports.append([words[i + 1] for i in range(0, len(words) - 1, 2)])
            elif line.startswith("vexa-recorder: error"):
                run.errors.append(line)
    run.pairs = symbolise(binary, reports)
    return run


def symbolise(binary, reports):
    """Pairs of lines from reports (lists of module+offset, offender first).
    Each code address is a return address: the call is one byte before."""
    module = os.path.basename(binary)
    wanted = sorted({w for rep in reports for w in rep if w.startswith(module + "+")})
    lines = {}
    if wanted:
        offsets = ["0x%x" % (int(w.split("+")[1], 16) - 1) for w in wanted]
        out = subprocess.run(["addr2line", "-e", binary] + offsets, stdout=subprocess.PIPE, text=True).stdout.split("\n")
        for w, place in zip(wanted, out):
            m = re.search(r":(\d+)", place)
            lines[w] = int(m.group(1)) if m else 0
    pairs = set()
    for rep in reports:
        first = lines.get(rep[0], 0)
        for other in rep[1:]:
            pairs.add(tuple(sorted((first, lines.get(other, 0)))))
    return pairs


class Case:
    """One generated program: its text, lines and races per team size."""

    def __init__(self, seed, program=None):
        self.seed = seed
        self.program = program if program is not None else taskgen.generate(seed)
        self.source, self.line_of = taskgen.emit(self.program)
        self.sid_of = {line: sid for sid, line in self.line_of.items()}
        self.sid_races = {}

    def races(self, threads):
        if threads not in self.sid_races:
            self.sid_races[threads] = oracle.races(self.program, threads)
        return self.sid_races[threads]

    def expected(self, threads):
        return oracle.line_pairs(self.races(threads), self.line_of)

    def sids(self, line_pair):
        return tuple(self.sid_of.get(line, "?%d" % line) for line in line_pair)


def build_case(tools, case, build, workdir):
    """(binary, None), or (None, the compiler's messages)."""
    name = "s%s_%s" % (case.seed, build)
    src = os.path.join(workdir, name + (".c" if build.endswith("_c") else ".cc"))
    with open(src, "w") as f:
        f.write(case.source)
    binary = os.path.join(workdir, name)
    error = tools.compile(src, build, binary)
    return (None, error) if error is not None else (binary, None)


def build_and_run(tools, case, build, threads_list, workdir):
    """{threads: Run} for the case, or a string with the compiler's error."""
    binary, error = build_case(tools, case, build, workdir)
    if error is not None:
        return error
    return {t: run_program(binary, t) for t in threads_list}


# ---------------------------------------------------------------- shrinking

def describe_access(program, sid):
    """The path of constructs down to an access, e.g.
    `single > task(if0) > task[out v0] > w v1`."""
    if sid == "end":
        return "the reads after the region"

    def find(nodes, path):
        for n in nodes:
            if n.sid == sid and isinstance(n, taskgen.Access):
                kind = ("atomic " if n.atomic else "") + ("w " if n.write else "r ") + n.var
                return path + [kind]
            label = None
            if isinstance(n, taskgen.Task):
                label = "task" + ("(if0)" if n.if0 else "") + \
                        ("[%s]" % ",".join("%s %s" % d for d in n.deps) if n.deps else "")
            elif isinstance(n, taskgen.Single):
                label = "single" + (" nowait" if n.nowait else "")
            elif isinstance(n, taskgen.All):
                label = "every thread"
            elif isinstance(n, taskgen.Taskgroup):
                label = "taskgroup"
            elif isinstance(n, taskgen.Guarded):
                label = n.lock
            found = find(n.children(), path + [label] if label else path)
            if found:
                return found
        return None

    found = find(program.items, [])
    return " > ".join(found) if found else "?"


class Shrinker:
    """Delta debugging over the statements of a program: drops whole
    subtrees first, then clauses, as long as the disagreement stays."""

    def __init__(self, tools, build, threads, kind, sids, workdir, deadline):
        self.tools, self.build, self.threads, self.kind, self.sids = tools, build, threads, kind, sids
        self.workdir, self.deadline = workdir, deadline
        self.tests = 0

    def still(self, program):
        if not taskgen.valid(program):
            return False
        case = Case("shrink", program)
        ids = {n.sid for n in taskgen.walk(program.items)} | {"end"}
        if self.kind != "abort":
            if not all(s in ids for s in self.sids):
                return False
            racing = oracle.pair(*self.sids) in case.races(self.threads)
            if racing != (self.kind == "missed"):
                return False
        self.tests += 1
        binary, error = build_case(self.tools, case, self.build, self.workdir)
        if error is not None:
            return False
        # With a team, what a run shows may depend on its schedule: a few
        # runs, any of which shows the disagreement, keep it.
        for _ in range(1 if self.threads == 1 else 3):
            run = run_program(binary, self.threads)
            if self.kind == "abort":
                if run.aborted:
                    return True
            elif not run.aborted:
                reported = tuple(sorted(case.line_of[s] for s in self.sids)) in run.pairs
                if reported == (self.kind == "false"):
                    return True
        return False

    def shrink(self, program):
        changed = True
        while changed and time.time() < self.deadline:
            changed = False
            for n in list(taskgen.walk(program.items)):
                if time.time() >= self.deadline:
                    break
                if n.sid in self.sids:
                    continue
                candidate = taskgen.without(program, {n.sid})
                if len({m.sid for m in taskgen.walk(candidate.items)}) == len({m.sid for m in taskgen.walk(program.items)}):
                    continue
                if self.still(candidate):
                    program, changed = candidate, True
            for candidate in simpler_clauses(program):
                if time.time() >= self.deadline:
                    break
                if self.still(candidate):
                    program, changed = candidate, True
                    break
        return program


def simpler_clauses(program):
    """Copies of the program with one clause or construct less (if0, a
    dependence, nowait, a taskgroup or guard around its body), each a
    candidate step of the shrinking."""
    for n in taskgen.walk(program.items):
        if isinstance(n, taskgen.Task):
            if n.if0:
                yield edited(program, n.sid, lambda m: setattr(m, "if0", False))
            for i in range(len(n.deps)):
                yield edited(program, n.sid, lambda m, i=i: m.deps.pop(i))
        elif isinstance(n, taskgen.Taskwait) and n.deps:
            yield edited(program, n.sid, lambda m: m.deps.pop())
        elif isinstance(n, taskgen.Single) and n.nowait:
            yield edited(program, n.sid, lambda m: setattr(m, "nowait", False))
        if isinstance(n, (taskgen.Taskgroup, taskgen.Guarded)):
            yield unwrapped(program, n.sid)


def unwrapped(program, sid):
    """A copy of the program with the statement sid replaced by its body."""
    import copy
    p = copy.deepcopy(program)

    def splice(nodes):
        out = []
        for n in nodes:
            if n.sid == sid:
                out.extend(n.body)
            else:
                if hasattr(n, "body"):
                    n.body = splice(n.body)
                out.append(n)
        return out

    p.items = splice(p.items)
    return p


def edited(program, sid, change):
    import copy
    p = copy.deepcopy(program)
    for n in taskgen.walk(p.items):
        if n.sid == sid:
            change(n)
    return p


# ------------------------------------------------------------------ report

def ratio(a, b):
    return "%.3f" % (a / b) if b else "n/a"


def table(stats):
    rows = ["| build | threads | runs | aborted | error lines | racy missed | race-free reported "
            "| pairs expected | reported | true | false | missed | precision | recall |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for (build, threads), s in sorted(stats.items()):
        rows.append("| %s | %d | %d | %d | %d | %d/%d | %d/%d | %d | %d | %d | %d | %d | %s | %s |" % (
            build, threads, s["runs"], s["aborted"], s["errors"], s["racy_missed"], s["racy"],
            s["free_reported"], s["free"], s["expected"], s["reported"], s["tp"], s["fp"], s["fn"],
            ratio(s["tp"], s["tp"] + s["fp"]), ratio(s["tp"], s["tp"] + s["fn"])))
    return "\n".join(rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="the project's build directory")
    ap.add_argument("--recorder", help="the recorder object (found in the build directory by default)")
    ap.add_argument("--programs", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1, help="the first seed; programs take seeds in a row")
    ap.add_argument("--builds", default="gcc_c,clang_c")
    ap.add_argument("--threads", default="1,2,4")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--out", help="where the shrunk disagreements and the summary go")
    ap.add_argument("--shrink", type=int, default=0, help="at most this many disagreements are shrunk")
    ap.add_argument("--shrink-seconds", type=int, default=180, help="per disagreement")
    ap.add_argument("--show", type=int, default=10, help="disagreements listed after the table")
    ap.add_argument("--min-precision", type=float)
    ap.add_argument("--min-recall", type=float)
    args = ap.parse_args()

    tools = Toolchain(os.path.abspath(args.build), args.recorder)
    builds = [b for b in args.builds.split(",") if b]
    for b in builds:
        if b not in ("gcc_c", "gcc_cxx", "clang_c", "clang_cxx"):
            sys.exit("race-generate: unknown build %s" % b)
    threads_list = [int(t) for t in args.threads.split(",")]
    workdir = tempfile.mkdtemp(prefix="race-generate.")
    cases = [Case(s) for s in range(args.seed, args.seed + args.programs)]

    stats = collections.defaultdict(collections.Counter)
    disagreements = []  # (kind, case, build, threads, sid pair or None, detail)
    failures = []

    jobs = [(c, b) for c in cases for b in builds]
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = pool.map(lambda cb: build_and_run(tools, cb[0], cb[1], threads_list, workdir), jobs)
        for (case, build), result in zip(jobs, results):
            if isinstance(result, str):
                failures.append("seed %s, %s: does not build:\n%s" % (case.seed, build, result))
                continue
            for threads in threads_list:
                run = result[threads]
                s = stats[(build, threads)]
                s["runs"] += 1
                if run.errors:
                    s["errors"] += 1
                if run.aborted:
                    s["aborted"] += 1
                    disagreements.append(("abort", case, build, threads, None, "exit %s" % run.status))
                    continue
                expected = case.expected(threads)
                got = run.pairs
                s["expected"] += len(expected)
                s["reported"] += len(got)
                s["tp"] += len(expected & got)
                s["fp"] += len(got - expected)
                s["fn"] += len(expected - got)
                if expected:
                    s["racy"] += 1
                    s["racy_missed"] += not (expected & got)
                else:
                    s["free"] += 1
                    s["free_reported"] += bool(got)
                for p in sorted(got - expected):
                    disagreements.append(("false", case, build, threads, case.sids(p), "lines %d, %d" % p))
                for p in sorted(expected - got):
                    disagreements.append(("missed", case, build, threads, case.sids(p), "lines %d, %d" % p))

    print(table(stats))
    for f in failures:
        print(f)
    print("\n%d disagreements: %s" % (len(disagreements), dict(collections.Counter(d[0] for d in disagreements))))
    for kind, case, build, threads, sids, detail in disagreements[:args.show]:
        what = " | ".join(describe_access(case.program, s) for s in sids) if sids else ""
        print("  %s: seed %s, %s, %d threads, %s  %s" % (kind, case.seed, build, threads, detail, what))

    shrunk = []
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "disagreements.txt"), "w") as f:
            for kind, case, build, threads, sids, detail in disagreements:
                what = " | ".join(describe_access(case.program, s) for s in sids) if sids else ""
                f.write("%s seed %s %s %d thr: %s  %s\n" % (kind, case.seed, build, threads, detail, what))
        chosen = pick(disagreements, args.shrink)
        for kind, case, build, threads, sids, detail in chosen:
            if sids is not None and any(str(s).startswith("?") for s in sids):
                # A report outside the program's access lines has no statement to keep.
                entry = write_finding(args.out, kind, case, case.program, build, threads, sids, detail, 0)
                shrunk.append(entry)
                continue
            sh = Shrinker(tools, build, threads, kind, sids or (), workdir, time.time() + args.shrink_seconds)
            small = sh.shrink(case.program) if args.shrink_seconds > 0 else case.program
            shrunk.append(write_finding(args.out, kind, case, small, build, threads, sids, detail, sh.tests))
            print("shrunk: " + shrunk[-1], flush=True)
        with open(os.path.join(args.out, "SUMMARY.md"), "w") as f:
            f.write("# Generated task programs: vexa against the oracle\n\n")
            f.write("%d programs (seeds %d-%d), builds %s, threads %s.\n\n" % (
                args.programs, args.seed, args.seed + args.programs - 1, ",".join(builds), args.threads))
            f.write(table(stats) + "\n\n")
            f.write("Pairs are pairs of source lines; aborted runs are left out of the pairs.\n\n")
            f.write("## Disagreements (%d in all: %s)\n\n" % (
                len(disagreements), dict(collections.Counter(d[0] for d in disagreements))))
            for e in shrunk:
                f.write("- " + e + "\n")
            for fl in failures:
                f.write("\n```\n%s\n```\n" % fl)
    shutil.rmtree(workdir, ignore_errors=True)

    # A program that does not build is always a failure; with a threshold
    # (the CI sample), so is an aborted run or an error line.
    status = 1 if failures else 0
    checking = args.min_precision is not None or args.min_recall is not None
    for (build, threads), s in sorted(stats.items()):
        p = s["tp"] / (s["tp"] + s["fp"]) if s["tp"] + s["fp"] else 1.0
        r = s["tp"] / (s["tp"] + s["fn"]) if s["tp"] + s["fn"] else 1.0
        if checking and (s["aborted"] or s["errors"]):
            print("FAIL %s at %d threads: %d aborted runs, %d with error lines" % (build, threads, s["aborted"], s["errors"]))
            status = 1
        if args.min_precision is not None and p < args.min_precision:
            print("FAIL %s at %d threads: precision %.3f below %.2f" % (build, threads, p, args.min_precision))
            status = 1
        if args.min_recall is not None and r < args.min_recall:
            print("FAIL %s at %d threads: recall %.3f below %.2f" % (build, threads, r, args.min_recall))
            status = 1
    return status


def pick(disagreements, limit):
    """At most `limit` disagreements, spread over kinds, builds and programs:
    one per (kind, build, seed) first, in turn over the kinds."""
    seen = set()
    queues = collections.OrderedDict()
    for d in disagreements:
        key = (d[0], d[2], d[1].seed)
        if key in seen:
            continue
        seen.add(key)
        queues.setdefault((d[0], d[2]), []).append(d)
    chosen = []
    while len(chosen) < limit and any(queues.values()):
        for q in queues.values():
            if q and len(chosen) < limit:
                chosen.append(q.pop(0))
    return chosen


def write_finding(out, kind, case, program, build, threads, sids, detail, tests):
    small = Case(case.seed, program)
    small.program.seed = case.seed
    text, line_of = taskgen.emit(small.program)
    name = "%s-%s-t%d-seed%s" % (kind, build, threads, case.seed)
    if sids:
        name += "-" + "-".join(str(s) for s in sids)
        what = "%s: %s  |  %s" % (kind, describe_access(program, sids[0]), describe_access(program, sids[1]))
        lines = tuple(line_of.get(s, 0) for s in sids)
        header = "/* %s at %d threads, %s: %s pair of lines %d, %d\n   (%s)\n   expected pairs here: %s */\n" % (
            build, threads, kind, "reported race-free" if kind == "false" else "unreported racing",
            lines[0], lines[1], what, sorted(small.expected(threads)))
    else:
        what = "abort (%s)" % detail
        header = "/* %s at %d threads: the run aborts (%s)\n   expected pairs here: %s */\n" % (
            build, threads, detail, sorted(small.expected(threads)))
    # The header goes last so the program's line numbers stay as described.
    with open(os.path.join(out, name + ".c"), "w") as f:
        f.write(text + header)
    return "`%s.c` (%s, %d thr, %d statements, %d shrink builds): %s" % (
        name, build, threads, sum(1 for _ in taskgen.walk(program.items)), tests, what)


if __name__ == "__main__":
    sys.exit(main())
