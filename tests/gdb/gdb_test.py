"""End-to-end tests of the vexa GDB extension: real GDB, batch mode, no tty.

Each test runs the 32-bit programs of this directory under GDB and reads
what GDB printed. Reports are compared as whole lines with addresses
masked; source lines are found through @markers in the programs' comments.
Settings are changed at breakpoints between the rounds of `scenarios`, and
what each round reported is counted (print-duplicates on: a later round
repeats the reports of the first).
"""

import json
import os
import re
import subprocess
import tempfile
import unittest

BUILD = os.environ["VEXA_GDB_BUILD"]
SOURCE = os.environ["VEXA_GDB_SOURCE"]
GDB = os.environ.get("VEXA_GDB", "gdb")
BIN = os.path.join(BUILD, "bin")
LIBRARY = os.path.join(BUILD, "lib", "libvexa.so")
LOADER = os.path.join(BUILD, "share", "vexa", "gdb", "vexa-gdb.py")
RUNNER = os.path.join(BIN, "vexa-gdb")
HERE = os.path.join(SOURCE, "tests", "gdb")
SCENARIOS = os.path.join(HERE, "scenarios.c")


def program(name):
    return os.path.join(BIN, name)


def line_containing(path, needle):
    with open(path) as f:
        for number, text in enumerate(f, 1):
            if needle in text:
                return number
    raise AssertionError("no line with %r in %s" % (needle, path))


def line_of(path, marker):
    """The line that a comment /* @marker */ ends."""
    return line_containing(path, "@%s */" % marker)


def mask(text):
    return re.sub(r"0x[0-9a-f]+", "0xADDR", text)


class Result(object):
    def __init__(self, status, out, err):
        self.status = status
        self.out = out
        self.err = err
        self.lines = out.splitlines()
        self.errors = err.splitlines()


def clean_environment(extra=None):
    env = dict((k, v) for k, v in os.environ.items() if not k.startswith("VEXA_"))
    env.update(extra or {})
    return env


def run(argv, env=None, timeout=240):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=clean_environment(env), timeout=timeout, start_new_session=True,
                          universal_newlines=True)
    return Result(done.returncode, done.stdout, done.stderr)


def gdb(args, commands=(), early=(), extension=True, env=None, timeout=240):
    """GDB in batch mode on `args`, with the extension loaded by -x."""
    argv = [GDB, "-batch", "-nx", "-iex", "set debuginfod enabled off"]
    for command in early:
        argv += ["-iex", command]
    if extension:
        argv += ["-iex", "set auto-load python-scripts off", "-x", LOADER]
    for command in commands:
        argv += ["-ex", command]
    return run(argv + ["--args"] + list(args), env, timeout)


def reports(text):
    """Each report as its list of lines, rules excluded."""
    found = []
    current = None
    for line in text.splitlines():
        if line == "==================":
            if current is None:
                current = []
            else:
                found.append(current)
                current = None
        elif current is not None:
            current.append(line)
    return found


def kinds(found):
    return [r[0] for r in found]


SHARING = "vexa: data sharing detected"
REENTRANT = "vexa: reentrant call detected"
ROUND = re.compile(r"\b(round_start|round_midpoint) \(r=(\d+)\)")


def per_round(text):
    """(data sharing, reentrant call) counts of the output after each
    breakpoint hit at round_start or round_midpoint."""
    counts = []
    segment = None
    for line in text.splitlines():
        if ROUND.search(line):
            segment = [0, 0]
            counts.append(segment)
        elif segment is not None and line in (SHARING, REENTRANT):
            segment[0 if line == SHARING else 1] += 1
    return [tuple(c) for c in counts]


def summary_place(report):
    return [l for l in report if l.startswith("SUMMARY: ")][0]


class Reports(unittest.TestCase):
    def test_load_stop_is_seen_and_both_accesses_are_symbolised(self):
        r = gdb([program("gdb_scenarios"), "1"], ["set vexa backtrace 2", "run"])
        self.assertIn("vexa: library loaded: %s; detectors: tsm re; hooks: task memory function" % LIBRARY, r.lines)
        self.assertIn("vexa: library unloaded", r.lines)
        found = reports(r.out)
        self.assertEqual(kinds(found), [SHARING, SHARING, REENTRANT])

        x_report = found[0]
        base = re.search(r"at (0x[0-9a-f]+) by", x_report[1]).group(1)
        self.assertEqual([mask(l) for l in x_report], [
            SHARING,
            "  Read of size 4 at 0xADDR by thread 3:",
            "    #0 0xADDR in reader at %s:%d" % (SCENARIOS, line_of(SCENARIOS, "read-x")),
            "    #1 0xADDR in worker_b at %s:%d" % (SCENARIOS, line_of(SCENARIOS, "call-reader")),
            "  Previous write of size 4 at 0xADDR by thread 2:",
            "    #0 0xADDR in writer at %s:%d" % (SCENARIOS, line_of(SCENARIOS, "write-x")),
            "  Location is global 'x' at 0xADDR",
            "SUMMARY: vexa: data sharing %s:%d in reader" % (SCENARIOS, line_of(SCENARIOS, "read-x")),
        ])
        # One object: the same address on every line that names it.
        self.assertTrue(all(base in l for l in (x_report[1], x_report[4], x_report[6])))
        self.assertIn("in writer at %s:%d" % (SCENARIOS, line_of(SCENARIOS, "write-y")), found[1][5])

        self.assertEqual([mask(l) for l in found[2]], [
            REENTRANT,
            "  Call of shared_fn (0xADDR) by thread 3:",
            "    #0 0xADDR in shared_fn at %s:%d" % (SCENARIOS, line_of(SCENARIOS, "enter-shared")),
            "    #1 0xADDR in worker_b at %s:%d" % (SCENARIOS, line_of(SCENARIOS, "call-shared")),
            "  shared_fn is still running in thread 2",
            "SUMMARY: vexa: reentrant call %s:%d in shared_fn" % (SCENARIOS, line_of(SCENARIOS, "enter-shared")),
        ])

    def test_stop_on_detection_selects_the_programs_frame(self):
        r = gdb([program("gdb_scenarios"), "1"], [
            "set vexa stop-on-detection on", "run", "print $_thread", "info vexa",
            "set vexa stop-on-detection off", "continue"])
        after = r.out[r.out.index("SUMMARY: vexa: data sharing"):]
        self.assertRegex(after, r"#\d+\s+0x[0-9a-f]+ in reader \(\) at %s:%d" % (
            re.escape(SCENARIOS), line_of(SCENARIOS, "read-x")))
        self.assertRegex(after, r"\$1 = 3\n")
        self.assertRegex(after, r"Reports of process \d+: 1 data sharing, 0 reentrant call stops; 1 printed")
        # Switched off again, the rest of the run is reported without a stop.
        self.assertEqual(kinds(reports(r.out)), [SHARING, SHARING, REENTRANT])
        self.assertIn("rounds: 1", r.lines)

    def test_library_error_is_reported_at_the_call_that_caused_it(self):
        r = run([RUNNER, program("gdb_misuse")])
        misuse = os.path.join(HERE, "misuse.c")
        self.assertIn('vexa: the library reported "vexa: task nesting error" (-992) at 0xADDR in main at %s:%d' % (
            misuse, line_of(misuse, "leave-without-task")), [mask(l) for l in r.errors])
        self.assertIn("still running", r.lines)  # the program's own output
        self.assertEqual(r.status, 1)
        self.assertIn("vexa: 0 reports (0 data sharing, 0 reentrant call); 1 library error; "
                      "the program exited with status 0", r.errors)


    def test_reports_name_tasks_and_skip_the_bridges_frames(self):
        r = gdb([program("gdb_bridged")], ["set vexa backtrace 2", "run"])
        bridged = os.path.join(HERE, "bridged.c")
        found = dict((f[0], [mask(l) for l in f]) for f in reports(r.out))
        self.assertEqual(sorted(found), [SHARING, REENTRANT])
        tasks = re.compile(r"by task (11|22) on thread (2|3):$")
        call, share = found[REENTRANT], found[SHARING]
        # The bridge calls the function from its own start routine: the
        # report is about the function entered, with no frame of the bridge.
        self.assertRegex(call[1], r"^  Call of teller \(0xADDR\) " + tasks.pattern)
        self.assertEqual(call[2], "    #0 0xADDR in teller at %s:%d" % (bridged, line_of(bridged, "teller") + 1))
        self.assertEqual(call[3], "    #1 0xADDR in start at %s:%d" % (bridged, line_of(bridged, "run-teller")))
        self.assertRegex(call[4], r"^  teller is still running in task (11|22) on thread (2|3)$")
        self.assertEqual(call[5], "SUMMARY: vexa: reentrant call %s:%d in teller" % (bridged, line_of(bridged, "teller")))
        self.assertRegex(share[1], tasks)
        self.assertEqual(share[2], "    #0 0xADDR in teller at %s:%d" % (bridged, line_of(bridged, "write-counter")))
        self.assertNotRegex(r.out, r"fake_|libvexa_fakebridge")


def scenario(rounds, commands, breakpoint="round_start"):
    return gdb([program("gdb_scenarios"), str(rounds)],
               ["set vexa print-duplicates on", "set vexa backtrace 1", "break " + breakpoint, "run"] + commands)


class Commands(unittest.TestCase):
    def test_enabling_and_hook_groups_change_later_rounds(self):
        r = scenario(4, [
            "continue",
            "vexa disable tsm", "continue",
            "vexa enable tsm", "vexa hooks off function", "continue",
            "vexa hooks on", "continue"])
        self.assertEqual(per_round(r.out), [(2, 1), (0, 1), (2, 0), (2, 1)])

    def test_reset_forgets_what_a_detector_saw(self):
        r = scenario(4, [
            "continue",
            "vexa reset tsm", "continue",
            "vexa reset re", "continue",
            "continue"], breakpoint="round_midpoint")
        self.assertEqual(per_round(r.out), [(2, 1), (0, 1), (2, 0), (2, 1)])
        self.assertIn("vexa: reset tsm", r.lines)
        self.assertIn("vexa: reset re", r.lines)

    def test_commands_given_at_one_stop_are_answered_one_after_another(self):
        r = scenario(3, [
            "continue",
            "vexa filter add tsm data &x", "vexa reset re", "vexa ping", "info vexa", "continue",
            "continue"], breakpoint="round_midpoint")
        status = r.out[r.out.index("libvexa.so: "):]
        self.assertIn('  in flight: "filter add tsm data &x"\n  queued: "reset re"\n  queued: "ping"\n', status)
        answers = [l for l in r.lines if l.startswith(("vexa: filter", "vexa: reset", "vexa: the library answered"))]
        self.assertEqual([mask(l) for l in answers], [
            "vexa: filter add tsm data &x: installed &x -> 0xADDR, 4 bytes",
            "vexa: reset re",
            'vexa: the library answered the ping: "vexa: how are you?"'])
        self.assertEqual(per_round(r.out), [(2, 1), (1, 0), (1, 1)])

    def test_help_completion_and_refusals_without_a_program(self):
        r = gdb([program("gdb_scenarios")], [
            "complete vexa en", "complete vexa enable s", "complete vexa filter add tsm d", "complete vexa hooks o",
            "vexa filter add re data &x", "vexa reset", "vexa filter add tsm data &x", "vexa filter add tsm data &x",
            "vexa filter add tsm thread 2", "show vexa", "help vexa"])
        for expected in ("vexa enable", "vexa enable suspend-marking", "vexa filter add tsm data", "vexa hooks off",
                         "vexa hooks on", "backtrace: 8", "stop-on-detection: off", "verbose: 1",
                         "print-duplicates: off"):
            self.assertIn(expected, r.lines)
        self.assertIn("vexa filter add|remove|clear", r.out)
        errors = r.err.splitlines()
        self.assertIn("vexa: the reentrant call detector has no data filter; data filters belong to tsm", errors)
        self.assertIn("vexa: the program has not loaded libvexa.so", errors)
        self.assertIn("vexa: &x overlaps a tsm data filter already set", errors)
        self.assertTrue(any(e.startswith("vexa: no thread 2") for e in errors), errors)


class Filters(unittest.TestCase):
    def test_data_filter_and_its_removal(self):
        r = scenario(3, [
            "continue",
            "vexa filter add tsm data &x", "continue",
            "vexa filter remove tsm data &x", "continue"])
        self.assertEqual(per_round(r.out), [(2, 1), (1, 1), (2, 1)])
        places = [summary_place(f) for f in reports(r.out) if f[0] == SHARING]
        self.assertTrue(places[2].endswith(":%d in reader" % line_of(SCENARIOS, "read-y")), places)

    def test_code_filters_by_function_and_by_source_line(self):
        r = scenario(3, [
            "continue",
            "vexa filter add tsm code reader", "continue",
            "vexa filter remove tsm code reader",
            "vexa filter add tsm code scenarios.c:%d" % line_of(SCENARIOS, "read-x"), "continue"])
        self.assertEqual(per_round(r.out), [(2, 1), (0, 1), (1, 1)])
        last = [summary_place(f) for f in reports(r.out) if f[0] == SHARING][-1]
        self.assertTrue(last.endswith(":%d in reader" % line_of(SCENARIOS, "read-y")), last)

    def test_thread_filters_hide_reports_of_those_threads(self):
        r = scenario(3, [
            "continue",
            "vexa filter add tsm thread 3", "continue",
            "vexa filter add re thread 2", "continue",
            "info vexa"])
        self.assertEqual(per_round(r.out), [(2, 1), (0, 1), (0, 0)])
        self.assertRegex(r.out, r"Reports of process \d+: 6 data sharing, 3 reentrant call stops; 4 printed, 0 repeats, "
                                r"5 hidden by thread filters")

    def test_re_code_filter_lists_the_only_functions_examined(self):
        r = scenario(4, [
            "continue",
            "vexa filter add re code other_fn", "continue",
            "vexa filter clear re code", "continue",
            "vexa filter add re code shared_fn", "vexa filter add re code other_fn", "continue",
            "info vexa"])
        # Emptied, the list means every function again, not none; two
        # additions at one stop both stay in it.
        self.assertEqual(per_round(r.out), [(2, 1), (2, 0), (2, 1), (2, 1)])
        self.assertEqual(re.findall(r"^  re code: (\w+) ->", r.out, re.M), ["shared_fn", "other_fn"])

    def test_failed_filter_command_is_reported_and_the_program_goes_on(self):
        r = scenario(3, [
            "continue",
            "vexa filter add tsm data &x", "vexa filter add tsm data &x", "vexa ping", "continue",
            "continue", "info vexa"])
        self.assertIn('vexa: "filter add tsm data &x" failed: the library answered "vexa: filter operation failed" '
                      '(-994); cleared what was left pending (apply filter records); record 1 of 1 '
                      '(add tsm data 0xADDR, 4 bytes) failed; no filter was changed', [mask(l) for l in r.lines])
        self.assertIn('vexa: the library answered the ping: "vexa: how are you?"', r.lines)
        self.assertEqual(per_round(r.out), [(2, 1), (1, 1), (1, 1)])
        self.assertIn("rounds: 3", r.lines)
        self.assertEqual(len(re.findall(r"^  tsm data: ", r.out, re.M)), 1)


class Settings(unittest.TestCase):
    def test_settings_survive_a_second_run(self):
        r = gdb([program("gdb_scenarios"), "2"], [
            "vexa filter add tsm data &x", "vexa disable re", "set vexa print-duplicates on", "break round_start",
            "run", "continue", "vexa enable re", "continue",
            "run", "continue", "continue"])
        loads = [l for l in r.lines if l.startswith("vexa: library loaded")]
        self.assertEqual(loads, [
            "vexa: library loaded: %s; detectors: tsm; hooks: task memory function; filter records: 1" % LIBRARY,
            "vexa: library loaded: %s; detectors: tsm re; hooks: task memory function; filter records: 1" % LIBRARY])
        self.assertEqual(per_round(r.out), [(1, 0), (1, 1), (1, 1), (1, 1)])
        self.assertEqual(r.out.count("rounds: 2"), 2)


class Dlopen(unittest.TestCase):
    def test_dlopened_library_is_caught_at_every_load(self):
        host = os.path.join(HERE, "dlopen_host.c")
        r = gdb([program("gdb_dlopen_host"), LIBRARY, "2"],
                ["set vexa print-duplicates on", "set vexa backtrace 1", "run"])
        self.assertEqual(len([l for l in r.lines if l.startswith("vexa: library loaded: %s;" % LIBRARY)]), 2)
        self.assertEqual(r.lines.count("vexa: library unloaded"), 2)
        found = reports(r.out)
        self.assertEqual(len(found), 2)
        for report in found:
            masked = [mask(l) for l in report]
            self.assertEqual(masked[2], "    #0 0xADDR in task_b at %s:%d" % (host, line_of(host, "read-value")))
            self.assertEqual(masked[4], "    #0 0xADDR in task_a at %s:%d" % (host, line_of(host, "write-value")))
        self.assertIn("loads: 2", r.lines)


class Stress(unittest.TestCase):
    READS = 286  # 7 readers: 2002 detections

    def test_eight_threads_lose_no_report(self):
        with tempfile.TemporaryDirectory() as scratch:
            out, err = os.path.join(scratch, "out"), os.path.join(scratch, "err")
            batch = "vexa batch %d > %s 2> %s" % (self.READS, out, err)
            # Every detection a stop: the library must not count repeats.
            r = gdb([program("gdb_stress")], ["set vexa verbose 0", "set vexa print-duplicates on",
                                              "set vexa backtrace 0", batch],
                    env={"VEXA_LOGGING": "8"})
            with open(out) as f:
                program_out = f.read().splitlines()
            with open(err) as f:
                compact = [l for l in f.read().splitlines() if l.startswith("tsm: ")]
        expected = 7 * self.READS
        self.assertIn("expected detections: %d" % expected, program_out)
        self.assertEqual(len(compact), expected)
        self.assertIn("vexa: %d reports (%d data sharing, 0 reentrant call); 1 distinct report among them; "
                      "the program exited with status 0" % (expected, expected), r.lines)
        self.assertEqual(r.status, 1)


class Batch(unittest.TestCase):
    def test_exit_status_tells_what_happened(self):
        reported = run([RUNNER, program("gdb_scenarios"), "1"])
        self.assertEqual(reported.status, 1)
        self.assertIn("vexa: 3 reports (2 data sharing, 1 reentrant call); the program exited with status 0",
                      reported.errors)

        clean = run([RUNNER, "-ex", "vexa disable", program("gdb_scenarios"), "1"])
        self.assertEqual(clean.status, 0)
        self.assertIn("vexa: 0 reports (0 data sharing, 0 reentrant call); the program exited with status 0",
                      clean.errors)

        failed = run([RUNNER, program("gdb_scenarios"), "0", "5"])
        self.assertEqual(failed.status, 2)
        self.assertIn("vexa: 0 reports (0 data sharing, 0 reentrant call); the program exited with status 5",
                      failed.errors)

        crashed = run([RUNNER, program("gdb_misuse"), "crash"])
        self.assertEqual(crashed.status, 2)
        misuse = os.path.join(HERE, "misuse.c")
        self.assertIn("vexa: the program stopped with SIGSEGV:", crashed.errors)
        self.assertRegex(crashed.err, r"#0 +main \(.*\) at %s:%d" % (re.escape(misuse), line_of(misuse, "crash")))
        self.assertIn("vexa: 0 reports (0 data sharing, 0 reentrant call); the program stopped with SIGSEGV",
                      crashed.errors)

        not_loaded = run([RUNNER, program("gdb_dlopen_host")])
        self.assertEqual(not_loaded.status, 3)
        self.assertIn("vexa: the program never loaded libvexa.so", not_loaded.errors)

    def test_example_session_finds_both_bugs(self):
        r = run(["bash", os.path.join(SOURCE, "tools", "gdb", "run-example.sh"), BUILD])
        self.assertEqual(r.status, 1)
        places = [summary_place(f) for f in reports(r.err)]
        bank = os.path.join(SOURCE, "examples", "gdb", "bank.c")
        self.assertEqual([p.split(bank)[1] if bank in p else p for p in places],
                         [":%d in deposit" % line_containing(bank, "_VEXA_readMemory(&bank_total"),
                          ":%d in deposit" % line_containing(bank, "_VEXA_writeMemory(&bank_total"),
                          ":%d in deposit" % line_containing(bank, "_VEXA_writeMemory(&bank_total"),
                          ":%d in format_receipt" % line_containing(bank, "_VEXA_enterFunction((void const*)format")])


class Runner(unittest.TestCase):
    def test_program_keeps_its_streams_and_arguments(self):
        argv = ["a b", "$HOME", "*", ">", "out", "it's", 'q"uote', ""]
        with tempfile.TemporaryDirectory() as scratch:
            log = os.path.join(scratch, "log")
            done = subprocess.run([RUNNER, "--log", log, "/bin/sh", "-c", 'cat; printf "[%s]" "$@"; echo e >&2',
                                   "sh"] + argv, input=b"in\x00put", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=clean_environment(), timeout=120, start_new_session=True)
            with open(log) as f:
                said = f.read()
        self.assertEqual(done.stdout, b"in\x00put" + b"".join(b"[%s]" % a.encode() for a in argv))
        self.assertEqual(done.stderr, b"e\n")
        self.assertIn("vexa: the program never loaded libvexa.so", said)
        self.assertEqual(done.returncode, 3)

    def test_suppressions_json_and_the_summary_by_location(self):
        with tempfile.TemporaryDirectory() as scratch:
            rules, out = os.path.join(scratch, "rules"), os.path.join(scratch, "out.json")
            with open(rules, "w") as f:
                f.write("# judged harmless\nsharing data y\nreentrant function shared_*\n"
                        "sharing line scenarios.c:%d\n" % line_of(SCENARIOS, "write-x"))
            r = run([RUNNER, "--suppressions", rules, "--json", out, program("gdb_scenarios"), "3"])
            with open(out) as f:
                found = [json.loads(line) for line in f]
            # y is a filter of the library: no stop; the wildcard and x's
            # write line are the extension's: one stop each, as the library
            # raises each function and each pair once.
            self.assertEqual(found, [])
            self.assertEqual(r.status, 0, r.err)
            self.assertIn("vexa: 0 reports (0 data sharing, 0 reentrant call); 2 suppressed; "
                          "the program exited with status 0", r.errors)

            r = run([RUNNER, "--json", out, "-ex", "set vexa backtrace 1", "-ex", "set vexa verbose 2",
                     program("gdb_scenarios"), "3"])
            with open(out) as f:
                found = [json.loads(line) for line in f]
        # Three rounds, one stop per distinct report: the library counted
        # the repeats.
        self.assertEqual(len(re.findall(r"^vexa: stop 25[67] ", r.err, re.M)), 3)
        self.assertEqual([(f["kind"], f["seen"], f["accesses"][0]["line"], f["accesses"][1]["line"]) for f in found], [
            ("data sharing", 3, line_of(SCENARIOS, "read-x"), line_of(SCENARIOS, "write-x")),
            ("data sharing", 3, line_of(SCENARIOS, "read-y"), line_of(SCENARIOS, "write-y")),
            ("reentrant call", 3, line_of(SCENARIOS, "enter-shared"), None)])
        read = found[0]["accesses"][0]
        self.assertEqual((read["access"], read["function"], read["symbol"], read["size"], read["thread"], read["task"]),
                         ("read", "reader", "x", 4, 3, 0))
        self.assertEqual(found[2]["accesses"][1]["thread"], 2)
        summary = r.err[r.err.index("vexa: distinct reports by location"):]
        self.assertIn("  reentrant call %s:%d in shared_fn: seen 3 times\n    shared_fn: reported once, seen 3 times" % (
            SCENARIOS, line_of(SCENARIOS, "enter-shared")), summary)
        self.assertEqual(r.status, 1)


class AutoLoad(unittest.TestCase):
    def test_library_auto_load_file_loads_the_extension(self):
        r = gdb([program("gdb_scenarios"), "1"], ["run"], extension=False,
                early=["add-auto-load-safe-path %s" % os.path.dirname(LIBRARY)])
        self.assertIn("vexa: library loaded: %s; detectors: tsm re; hooks: task memory function" % LIBRARY, r.lines)
        self.assertEqual(kinds(reports(r.out)), [SHARING, SHARING, REENTRANT])

    def test_script_carried_by_the_program_gives_commands_before_run(self):
        r = gdb([program("vexa_gdb_example")], ["vexa filter add tsm data &bank_total", "run"], extension=False,
                early=["add-auto-load-safe-path %s" % BIN, "add-auto-load-safe-path %s" % os.path.dirname(LIBRARY)])
        self.assertIn("vexa: filter add tsm data &bank_total: kept for the next run", r.lines)
        self.assertEqual(kinds(reports(r.out)), [REENTRANT])


OMP = os.path.join(BUILD, "tests", "gdb", "omp_kernels")
KERNELS = os.path.join(HERE, "omp_kernels.cc")
OTHER = os.path.join(HERE, "omp_other.cc")
SKIPPED = 77  # ctest's SKIP_RETURN_CODE for the groups that need a tool


def omp_run(*options, **kwargs):
    """omp_kernels under vexa-gdb, 4 threads, 2 rounds, the library's
    compact log on (its count of distinct detections)."""
    env = {"OMP_NUM_THREADS": "4", "VEXA_LOGGING": "8"}
    return run([RUNNER] + list(options) + [OMP, "2"], env=env, **kwargs)


def skip_group(why):
    """A group whose tool is missing is reported as skipped, not passed."""
    import sys
    sys.stderr.write("SKIPPED: %s\n" % why)
    sys.stderr.flush()
    os._exit(SKIPPED)


class OpenMP(unittest.TestCase):
    """A C++ OpenMP program built with vexa-c++: reports made while the
    region's other threads run, inlined header code, outlined regions."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp()
        cls.json = os.path.join(cls.scratch, "out.json")
        cls.r = omp_run("--json", cls.json, "-ex", "set vexa backtrace 4")
        with open(cls.json) as f:
            cls.found = [json.loads(line) for line in f]
        cls.reports = reports(cls.r.err)

    def test_every_stop_works_with_other_threads_running_in_all_stop_and_non_stop(self):
        with tempfile.TemporaryDirectory() as scratch:
            out = os.path.join(scratch, "out")
            non_stop = gdb([OMP], ["set vexa verbose 0", "vexa batch 2 > %s" % out], early=["set non-stop on"],
                           env={"OMP_NUM_THREADS": "4"})
            with open(out) as f:
                said = f.read()
        for r, program in ((self.r, self.r.out), (non_stop, said)):
            self.assertNotIn("Python Exception", r.err + r.out)
            self.assertEqual(r.status, 1, r.err[-2000:])
            self.assertIn("rounds: 2", program)
            self.assertRegex(r.err + r.out, r"vexa: \d+ reports .*; the program exited with status 0")

    def test_counts_agree_one_report_per_distinct_pair(self):
        summary = re.search(r"^vexa: (\d+) reports \((\d+) data sharing, (\d+) reentrant call\)", self.r.err, re.M)
        library = re.search(r"^vexa: (\d+) distinct detections reported", self.r.err, re.M)
        printed = len(self.reports)
        total, sharing, calls = (int(g) for g in summary.groups())
        self.assertEqual((total, sharing + calls, printed, len(self.found), int(library.group(1))),
                         (total, total, total, total, total))
        self.assertEqual(sum(1 for f in self.found if f["kind"] == "data sharing"), sharing)
        self.assertTrue(all(sum(l.startswith("  Previous ") for l in r) == 1 for r in self.reports if r[0] == SHARING))

    def test_inlined_frames_unfold_once_and_the_summary_names_the_users_line(self):
        load = line_of(KERNELS, "load-bytes")
        inlined = [r for r in self.reports if r[0] == SHARING and "_mm_loadu_si128" in "\n".join(r)]
        self.assertTrue(inlined)
        for r in self.reports:
            stacks = "\n".join(r).split("  Previous ")
            for text in stacks:
                frames = re.findall(r"^\s+#\d+ (.*)$", text, re.M)
                self.assertEqual([a for a, b in zip(frames, frames[1:]) if a == b], [], r)
        for r in inlined:
            text = "\n".join(r)
            self.assertRegex(text, r"#(\d+) 0x[0-9a-f]+ in _mm_loadu_si128\(.*\) at /.*emmintrin\.h:\d+\n"
                                   r"\s+#\d+ 0x[0-9a-f]+ in first_bytes\(unsigned char const\*\) at %s:%d\n" % (
                                       re.escape(KERNELS), load))
            if "_mm_loadu_si128" in r[2]:  # the access that stopped is the load
                self.assertEqual(summary_place(r), "SUMMARY: vexa: data sharing %s:%d in first_bytes(unsigned "
                                                   "char const*)" % (KERNELS, load))
        # The earlier access gets its inline chain, not one frame.
        earlier = [f["accesses"][1]["frames"] for f in self.found if f["kind"] == "data sharing"
                   and f["accesses"][1]["function"].startswith("_mm_loadu_si128")]
        for frames in earlier:
            self.assertEqual([(f["function"], f["line"]) for f in frames[:2]][1],
                             ("first_bytes(unsigned char const*)", load))
        self.assertNotIn("emmintrin.h", "".join(l for l in self.r.errors if l.startswith("SUMMARY")))

    def test_pairs_of_one_line_read_apart_and_outlined_regions_are_named(self):
        details = [l.strip() for l in self.r.err[self.r.err.index("vexa: distinct reports by location"):].splitlines()
                   if " / " in l]
        self.assertEqual(len(details), len(set(d.split(": reported")[0] for d in details)))
        hits = line_of(KERNELS, "hits")
        self.assertTrue([d for d in details if re.search(r"omp_kernels\.cc:%d:\d+ in OpenMP region in "
                                                         r"CalcKinematicsForElems\(Domain&, double, int\) / " % hits,
                                                         d)], details)
        self.assertIn("OpenMP region in other_file_race(int)", self.r.err)
        self.assertNotRegex(self.r.err, r"_omp_fn|_Z\d")

    def test_a_run_ended_by_a_timeout_still_gives_its_summary_and_files(self):
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "out.json")
            env = clean_environment({"OMP_NUM_THREADS": "4"})
            child = subprocess.Popen([RUNNER, "--json", path, OMP, "1000000"], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
                                     start_new_session=True)
            # Once the first round's reports are out, the program runs on
            # without stops, as a long program does when its time is up.
            import select
            import time
            said, deadline = b"", time.time() + 120
            while time.time() < deadline:
                if not select.select([child.stderr], [], [], 2.0)[0]:
                    if b"SUMMARY: " in said:
                        break
                    continue
                chunk = os.read(child.stderr.fileno(), 65536)
                if not chunk:
                    break
                said += chunk
            child.terminate()  # as `timeout` does: GDB gets SIGTERM
            said += child.stderr.read()
            child.wait(timeout=60)
            with open(path) as f:
                found = [json.loads(line) for line in f]
        text = said.decode()
        self.assertIn("vexa: the run ended before the program did\n", text)
        reported = re.search(r"^vexa: (\d+) reports? \(", text, re.M)
        self.assertEqual(int(reported.group(1)), len(found))
        self.assertGreaterEqual(len(found), 1)

    def test_line_range_suppression_keeps_other_lines_and_files(self):
        first, last = line_of(KERNELS, "kinematics"), line_of(KERNELS, "kinematics-end")
        with tempfile.TemporaryDirectory() as scratch:
            rules = os.path.join(scratch, "rules")
            with open(rules, "w") as f:
                f.write("sharing line omp_kernels.cc:%d-%d\n" % (first, last))
            r = omp_run("--suppressions", rules)
        places = [summary_place(f) for f in reports(r.err) if f[0] == SHARING]
        lines = [int(re.search(r":(\d+) in ", p).group(1)) for p in places if KERNELS in p]
        self.assertEqual([n for n in lines if first <= n <= last], [])
        self.assertIn(line_of(KERNELS, "count-calls"), lines)  # called from the range, made outside it
        self.assertIn(line_of(KERNELS, "store-byte"), lines)
        self.assertTrue([p for p in places if "%s:%d" % (OTHER, line_of(OTHER, "other-total")) in p], places)
        self.assertRegex(r.err, r"\d+ suppressed")


class Sarif(unittest.TestCase):
    def test_sarif_is_valid_2_1_0_with_both_accesses_and_their_stacks(self):
        try:
            import jsonschema
        except ImportError:
            skip_group("python3-jsonschema is not installed (tools/setup.sh installs it)")
        root = subprocess.run(["npm", "root", "-g"], stdout=subprocess.PIPE, universal_newlines=True).stdout.strip() \
            if subprocess.run(["sh", "-c", "command -v npm"], stdout=subprocess.DEVNULL).returncode == 0 else ""
        schema_path = os.path.join(root, "@microsoft", "jest-sarif", "lib", "schemas", "sarif-2.1.0-rtm.5.json")
        if not os.path.exists(schema_path):
            skip_group("the SARIF 2.1.0 schema (npm @microsoft/jest-sarif, tools/setup.sh) is not installed")
        with tempfile.TemporaryDirectory() as scratch:
            path, lines = os.path.join(scratch, "out.sarif"), os.path.join(scratch, "out.json")
            r = omp_run("--sarif", path, "--json", lines)
            with open(path) as f:
                log = json.load(f)
            with open(lines) as f:
                count = len(f.readlines())
        with open(schema_path) as f:
            schema = json.load(f)
        jsonschema.Draft4Validator(schema, format_checker=jsonschema.FormatChecker()).validate(log)
        results = log["runs"][0]["results"]
        self.assertEqual(len(results), count)
        self.assertEqual(r.status, 1)
        sharing = [x for x in results if x["ruleId"] == "data-sharing"]
        self.assertTrue(sharing)
        for result in sharing:
            self.assertEqual(len(result["locations"]), 2)
            flows = result["codeFlows"][0]["threadFlows"]
            self.assertEqual(len(flows), 2)
            self.assertTrue(all(f["locations"] for f in flows))
            self.assertTrue(all(l["physicalLocation"]["artifactLocation"]["uri"].startswith("file:///")
                                for l in result["locations"]))


class Browser(unittest.TestCase):
    def test_html_report_as_a_browser_shows_it(self):
        browser = next((b for b in ("chromium", "chromium-browser", "google-chrome")
                        if subprocess.run(["sh", "-c", "command -v " + b], stdout=subprocess.DEVNULL).returncode == 0),
                       None)
        if browser is None:
            skip_group("no headless browser (Debian's chromium, tools/setup.sh installs it)")
        with tempfile.TemporaryDirectory() as scratch:
            page, lines = os.path.join(scratch, "report.html"), os.path.join(scratch, "out.json")
            omp_run("--html", page, "--json", lines)
            with open(lines) as f:
                count = len(f.readlines())
            # What a user sees: the page's rendered text (innerText leaves
            # out what CSS hides), read through a frame of a second page.
            viewer = os.path.join(scratch, "view.html")
            with open(viewer, "w") as f:
                f.write('<pre id="seen"></pre><iframe id="page" src="report.html"></iframe><script>'
                        'document.getElementById("page").onload = function () {'
                        'document.getElementById("seen").textContent = '
                        'document.getElementById("page").contentDocument.body.innerText; };</script>')
            done = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                                   "--allow-file-access-from-files", "--virtual-time-budget=10000",
                                   "--user-data-dir=" + os.path.join(scratch, "profile"), "--dump-dom",
                                   "file://" + viewer], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=120)
        import html
        seen = html.unescape(re.search(r'<pre id="seen">(.*?)</pre>', done.stdout, re.S).group(1))
        self.assertIn("%d distinct reports" % count, seen)
        self.assertEqual(len(re.findall(r"^\d+\. (Data sharing|Reentrant call) at ", seen, re.M)), count)
        self.assertIn("Previous ", seen)
        self.assertIn("OpenMP region in CalcKinematicsForElems(Domain&, double, int) at %s:%d" % (
            KERNELS, line_of(KERNELS, "hits")), seen)
        # The source lines around a frame, the frame's own line among them.
        hits = line_of(KERNELS, "hits")
        self.assertRegex(seen, r"\n\s*" + str(hits) + r"\s+d\.hits\[i % 4\] \+= d\.hits\[\(i \+ 1\) % 4\];")
        self.assertRegex(seen, r"\n\s*" + str(hits - 2) + r"\s+for \(int i = 0; i < n; \+\+i\) \{")

if __name__ == "__main__":
    unittest.main()
