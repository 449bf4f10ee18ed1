"""The debugger side of the protocol: the breakpoint, its stops, and what
the extension keeps for the GDB session and for each library load.

Kept for the whole GDB session (Settings): the detectors, suspension
marking and hook groups the user switched, and the user's filters; all of
it is sent again at every load stop, so it holds across `run`.
Kept for one library load (Library): the block's addresses, the filter
buffer's capacity and the exchange of commands; dropped at unload and exit.
"""

import os
import traceback

import gdb

from . import layout
from . import output
from . import parameters
from . import report
from . import resolve
from .block import Block, library_present
from .exchange import Exchange, FilterBatch
from .filters import Filters
from .suppress import Suppressions

DEFAULT_ENABLE = layout.ENABLE_TSM | layout.ENABLE_RE


class Settings(object):
    """Only what the user said; bits the user never named keep the
    library's value from its environment, or the default when it has none."""

    def __init__(self):
        self.enable = {}
        self.guard = {}
        self.filters = Filters()
        self.suppressions = Suppressions()

    @staticmethod
    def _apply(choices, word):
        for bit, on in choices.items():
            word = (word | bit) if on else (word & ~bit)
        return word & 0xFFFFFFFF

    def enable_word(self, word, distinct=False):
        """With `distinct` (the library keeps a table of distinct
        detections) the library stops once per distinct detection unless
        every repeat is wanted. Thread filters are the extension's own: a
        first occurrence hidden by one would hide the later ones of other
        threads, so they keep every stop."""
        word = self._apply(self.enable, word)
        if distinct:
            once = not parameters.get("print-duplicates") and not self.filters.threads("tsm") \
                and not self.filters.threads("re")
            word = (word | layout.ENABLE_DISTINCT) if once else (word & ~layout.ENABLE_DISTINCT)
        return word & 0xFFFFFFFF

    def guard_word(self, word):
        return self._apply(self.guard, word)

    def load_words(self, enable, guard, distinct):
        return (self.enable_word(enable or DEFAULT_ENABLE, distinct), self.guard_word(guard or layout.GUARD_ALL))


class Distinct(object):
    """One distinct detection: a pair of code addresses of a data sharing
    (the access that stopped, the earlier one), or the function of a
    reentrant call; its first report, and how often it occurred."""

    def __init__(self, kind, place, detail, json):
        self.kind = kind
        self.place = place  # the summary's location, where reports are grouped
        self.detail = detail
        self.json = json
        self.stops = 0  # occurrences the program stopped for
        self.shown = 0  # ...and printed
        self.counted = 0  # occurrences the library counted without a stop, over every load

    def seen(self):
        return self.stops + self.counted


class Counts(object):
    """What one process reported."""

    def __init__(self, pid=None):
        self.pid = pid
        self.loads = 0
        self.seen = {layout.DATA_SHARING: 0, layout.REENTRANT_CALL: 0}  # stops
        self.printed = {layout.DATA_SHARING: 0, layout.REENTRANT_CALL: 0}  # reports printed
        self.filtered = 0
        self.suppressed = 0  # stops whose every conflict a suppression matched
        self.errors = 0  # errors the library raised about the program
        self.failed_commands = 0
        self.distinct = {}  # (kind, first, second) -> Distinct, in the order first seen
        self.finished = False

    def reported(self):
        return sum(self.printed.values())

    def repeats(self):
        """Occurrences that were not printed: counted by the library
        without a stop, or stopped for and left out by the extension."""
        return sum(d.seen() - d.shown for d in self.distinct.values())


class Library(object):
    """One load of libvexa.so in one process."""

    def __init__(self, session, inferior, block):
        self.session = session
        self.inferior = inferior
        self.pid = inferior.pid
        self.block = block
        self.capacity = 0  # records the filter buffer holds; 0 until we allocate one
        self.exchange = Exchange()
        self.symbols = report.Symbols(inferior.pid)
        self.path = block.path  # frames in this file are the library's own
        self.distinct = block.distinct_table is not None
        self.loaded = False
        self.words_dirty = False
        self.unloaded = False
        self.last_pc = None  # the program's frame of the latest report

    @property
    def counts(self):
        return self.session.counts

    def say(self, text, level=1):
        self.session.say(text, level)


class SwitchBreakpoint(gdb.Breakpoint):
    """On __vexa_switch_to_debugger: every stop of the library lands here."""

    def __init__(self, session):
        gdb.Breakpoint.__init__(self, "__vexa_switch_to_debugger", internal=True)
        self.silent = True
        self.session = session

    def stop(self):
        try:
            return self.session.on_break()
        except Exception:
            # An exception escaping stop() would stop the program with no
            # word of why; say it and let the program go on.
            self.session.say("vexa: internal error in the GDB extension:\n" + traceback.format_exc(), 0)
            return False


class Session(object):
    def __init__(self):
        self.settings = Settings()
        self.counts = Counts()
        self.library = None
        self.breakpoint = None
        self.last_exit = None  # exit code of the last process, None for a signal
        self.last_signal = None
        self.batch_summary = None  # set while `vexa batch` runs: says its summary if GDB exits first

    # Output.
    def say(self, text, level=1):
        if parameters.get("verbose") >= level:
            gdb.write(text + "\n")

    # The breakpoint is set once the library's symbols are there, so that no
    # warning about an undefined function is printed and a library loaded
    # with dlopen is caught as well as one the program links.
    def on_new_objfile(self, event=None):
        if self.breakpoint is None and library_present():
            self.breakpoint = SwitchBreakpoint(self)

    def live(self, inferior=None):
        """The library of the selected process, if it is loaded and known."""
        inferior = inferior or gdb.selected_inferior()
        lib = self.library
        if lib is None or inferior.pid == 0 or lib.pid != inferior.pid or lib.unloaded:
            return None
        return lib

    def _library_at_stop(self, inferior):
        lib = self.library
        if lib is not None and lib.pid == inferior.pid:
            if not lib.unloaded:
                return lib
            if lib.exchange.busy():
                return lib  # the unload stop's loop still answers a command
        return self._new_library(inferior)

    def _new_library(self, inferior):
        old = self.library
        if old is not None and old.pid == inferior.pid:
            old.exchange.drop(old, "the library was unloaded")
        if self.counts.pid != inferior.pid:
            self.counts = Counts(inferior.pid)
        self.library = Library(self, inferior, Block(inferior))
        return self.library

    def on_break(self):
        inferior = gdb.selected_inferior()
        lib = self._library_at_stop(inferior)
        reason = lib.block.reason()
        if parameters.get("verbose") >= 2:
            words = lib.block.read_words()
            self.say("vexa: stop %d \"%s\" on thread %d; enable 0x%x, pending 0x%x" % (
                reason, layout.message(reason), gdb.selected_thread().num, words[layout.ENABLE],
                words[layout.PENDING]), 2)
        stop = False
        if reason == layout.LOADED:
            if lib.loaded:
                lib = self._new_library(inferior)  # loaded again in the same process
            self.on_load(lib)
        elif reason == layout.UNLOADED:
            lib.unloaded = True
            self.say("vexa: library unloaded", 1)
            self.finish(lib)
        elif reason in (layout.DATA_SHARING, layout.REENTRANT_CALL):
            stop = self.on_detection(lib, reason)
        elif reason in layout.ANSWERS and lib.exchange.on_answer(lib, reason):
            pass
        elif reason < 0:
            self.on_error(lib, reason)
        self.sync(lib)
        return stop

    def on_load(self, lib, found_running=False):
        self.counts.loads += 1
        self.counts.finished = False
        lib.loaded = True
        words = lib.block.read_words()
        enable, guard = self.settings.load_words(words[layout.ENABLE], lib.block.guard(), lib.distinct)
        lib.block.write_word(layout.ENABLE, enable)
        lib.block.set_guard(guard)
        entries = []
        for entry in self.settings.filters.all():
            if not entry.fixed:
                try:
                    entry.values = resolve.RESOLVERS[entry.kind](entry.text, entry.detector)
                except resolve.ResolveError as e:
                    self.say("vexa: filter %s %s %s not sent: %s" % (entry.detector, entry.kind, entry.text, e), 0)
                    continue
            entries.append(entry)
        self.settings.filters.suppressed, left = self.settings.suppressions.resolve()
        records = self.settings.filters.load_records(entries)
        if records:
            lib.exchange.submit(FilterBatch("restore filters", records, skip_failed=True), first=True)
        detectors = " ".join(layout.bit_names(enable & ~layout.ENABLE_DISTINCT, layout.ENABLE_NAMES)) or "none"
        hooks = " ".join(layout.bit_names(guard, layout.GUARD_NAMES)) or "none"
        self.say("vexa: library %s: %s; detectors: %s; hooks: %s%s" % (
            "found running" if found_running else "loaded", lib.path, detectors, hooks,
            "; filter records: %d" % len(records) if records else ""), 1)
        if self.settings.suppressions.entries:
            self.say("vexa: %d suppressions; matched by the extension: %s" % (
                len(self.settings.suppressions.entries),
                ", ".join("%s (%s)" % (s.describe(), d) for s, d in left) or "none"), 1)

    def on_detection(self, lib, reason):
        self.counts.seen[reason] += 1
        every = parameters.get("print-duplicates")
        suppressions = self.settings.suppressions
        if reason == layout.DATA_SHARING:
            record, offended = lib.block.sharing()
            offender = record.offender
            ignored = self.settings.filters.threads("tsm")
            offended = [a for a in offended if (a.task, a.thread) not in ignored]
            if (offender.task, offender.thread) in ignored or not offended:
                self.counts.filtered += 1
                return False
            offended = suppressions.sharing(lib.symbols, offender, offended)
            if not offended:
                self.counts.suppressed += 1
                return False
            keys = [(reason, offender.code, a.code) for a in offended]
        else:
            record, tasks = lib.block.reentrancy()
            ignored = self.settings.filters.threads("re")
            caller = tasks[-1] if tasks else None
            tasks = [t for t in tasks[:-1] if tuple(t) not in ignored] + ([caller] if caller else [])
            if caller is None or tuple(caller) in ignored or len(tasks) < 2:
                self.counts.filtered += 1
                return False
            if suppressions.reentrancy(lib.symbols, record):
                self.counts.suppressed += 1
                return False
            keys = [(reason, record.function, 0)]
        known = self.counts.distinct
        occurrences = {}
        for key in keys:
            occurrences[key] = occurrences.get(key, 0) + 1
        for key, n in occurrences.items():
            if key in known:
                known[key].stops += n
        shown, fresh = [], set()
        for i, key in enumerate(keys):
            if key not in known and key not in fresh:
                fresh.add(key)
                shown.append(i)
            elif every:
                shown.append(i)
        if not shown:
            return False  # every conflict of this stop was reported before
        depth = parameters.get("backtrace")
        frames = report.user_frames(lib.path, max(depth, 1))
        threads = report.Threads(lib.inferior)
        symbols = lib.symbols
        blocks = []
        for i in shown:
            key = keys[i]
            if reason == layout.DATA_SHARING:
                access = offended[i]
                blocks += report.sharing_report(symbols, threads, offender, access, frames, depth)
                if key not in known:
                    place = report.sharing_place(symbols, offender, frames)
                    sides = [report.access_json(symbols, threads, offender, frames=frames),
                             report.access_json(symbols, threads, access)]
                    known[key] = Distinct(reason, place, self._detail(sides), {"kind": "data sharing",
                                                                               "accesses": sides})
            else:
                blocks += report.reentrancy_report(symbols, threads, record, tasks, frames, depth)
                if key not in known:
                    name = symbols.function(record.function) or "0x%x" % record.function
                    call = layout.Access(None, None, None, caller[0], caller[1], record.code)
                    sides = [report.access_json(symbols, threads, call, frames=frames)]
                    sides[0].update({"access": "call", "function": name})
                    sides += [report.access_json(symbols, threads, None, t[0], t[1]) for t in tasks[:-1]]
                    known[key] = Distinct(reason, report.reentrancy_place(symbols, record), name,
                                          {"kind": "reentrant call", "function": name, "accesses": sides})
            d = known[key]
            if key in fresh:
                d.stops = occurrences[key]
                fresh.discard(key)
            d.shown += 1
            self.counts.printed[reason] += 1
        lib.last_pc = frames[0] if frames else None
        self.write("\n".join(blocks))
        return bool(parameters.get("stop-on-detection"))

    def _detail(self, sides):
        """'read at a.c:3:9 in f / write at a.c:3:5 in g': the line of the
        summary by location. Two pairs that still read alike (no column
        information) get their code addresses."""
        def side(a):
            frames = [report.Frame(**f) for f in a["frames"]]
            frame = report.first_user_frame(frames) or report.Frame(a["pc"], a["function"], None, None, None)
            return "%s at %s in %s" % (a["access"], report.short_place(frame), frame.function or "??")
        text = "%s / %s" % (side(sides[0]), side(sides[1]))
        taken = set(d.detail for d in self.counts.distinct.values())
        if text in taken:
            text += " [0x%x / 0x%x]" % (sides[0]["pc"], sides[1]["pc"])
        return text

    def write(self, text):
        gdb.write(text + "\n")
        gdb.flush()  # a run killed later (a timeout) keeps what it reported

    def finish(self, lib):
        """At the library's unload: the library's counts of what it did not
        stop for, the reports grouped by location, and the JSON file."""
        counts = self.counts
        if counts.finished:
            return
        counts.finished = True
        if lib is not None and lib.inferior.pid:
            for entry in lib.block.distinct():
                found = counts.distinct.get((entry.kind, entry.first, entry.second))
                if found is not None:  # the library's count includes the stop it raised
                    found.counted += max(entry.seen - 1, 0)
        if counts.distinct and parameters.get("verbose") >= 1:
            self.write("\n".join(summary_by_location(counts.distinct.values())))
        program = os.path.basename(gdb.current_progspace().filename or "") or "the program"
        for name, write in (("json", output.write_json), ("sarif", output.write_sarif),
                            ("html", lambda path, found: output.write_html(path, found, "vexa reports: " + program))):
            path = parameters.get(name)
            if not path:
                continue
            try:
                write(path, list(counts.distinct.values()))
            except OSError as e:
                self.say("vexa: cannot write the %s file %s: %s" % (name.upper(), path, e.strerror), 0)

    def on_error(self, lib, reason):
        """A negative reason that answers no command of ours: raised by a
        hook, or by bits someone else left pending."""
        self.counts.errors += 1
        left = lib.block.clear_commands()
        if reason == -1000:
            lib.block.write_word(layout.VERSION, layout.PROTOCOL_VERSION)
            left.append("protocol version restored to 1")
        # The hook that raised it is still on the stack: its caller is the
        # place. The record's code address may be an older hook's.
        frame = report.hook_caller(lib.block.code(), lib.path)
        where = lib.symbols.call_site(frame.pc()) if frame is not None else "an unknown place"
        text = 'vexa: the library reported "%s" (%d) at %s' % (layout.message(reason), reason, where)
        if left:
            text += "; cleared what was left pending (%s)" % ", ".join(left)
        self.say(text, 0)

    def apply_words(self, lib):
        words = lib.block.read_words()
        lib.block.write_word(layout.ENABLE, self.settings.enable_word(words[layout.ENABLE], lib.distinct))
        lib.block.set_guard(self.settings.guard_word(lib.block.guard()))
        lib.words_dirty = False

    def sync(self, lib):
        """Everything that waited for the program to halt."""
        if lib.words_dirty:
            self.apply_words(lib)
        lib.exchange.pump(lib)

    def halted(self):
        thread = gdb.selected_thread()
        return thread is not None and thread.is_stopped()

    def submit(self, command):
        """Queues a command for the current library and posts it now if the
        program is halted (the library serves it at its next hook call)."""
        lib = self.live()
        if lib is None:
            raise gdb.GdbError("vexa: the program has not loaded libvexa.so")
        lib.exchange.submit(command)
        if self.halted():
            lib.exchange.pump(lib)
        else:
            self.say('vexa: "%s" is queued until the program stops' % command.title, 1)

    def words_changed(self):
        lib = self.live()
        if lib is None:
            return
        if self.halted():
            self.apply_words(lib)
        else:
            lib.words_dirty = True

    # Events.
    def on_stop(self, event):
        inferior = gdb.selected_inferior()
        lib = self.live(inferior)
        if lib is None and inferior.pid != 0 and self.breakpoint is not None and self.library is None:
            # Attached to a running program, or loaded while it ran: the
            # load stop is past, so the settings go out now.
            lib = self._first_contact(inferior)
        if lib is not None:
            self.sync(lib)
        if isinstance(event, gdb.SignalEvent):
            self.last_signal = event.stop_signal
        if isinstance(event, gdb.BreakpointEvent) and self.breakpoint in event.breakpoints and lib is not None:
            self.select_user_frame(lib)

    def _first_contact(self, inferior):
        try:
            lib = self._library_at_stop(inferior)
        except gdb.error:
            return None
        self.on_load(lib, found_running=True)
        return lib

    def select_user_frame(self, lib):
        frame = gdb.newest_frame()
        while frame is not None and lib.last_pc is not None and frame.pc() != lib.last_pc:
            frame = frame.older()
        if frame is not None:
            frame.select()
            gdb.execute("frame")

    def on_gdb_exit(self):
        if self.batch_summary is not None:
            self.batch_summary()

    def on_exited(self, event):
        lib = self.library
        if self.batch_summary is not None and getattr(event, "exit_code", None) is None and \
                self.last_signal is None:
            self.batch_summary()  # killed from outside, or by GDB on its way out
        self.finish(None)  # no unload stop: killed, or ended by a signal
        if lib is not None:
            lib.exchange.drop(lib, "the program exited")
        self.library = None
        self.last_exit = getattr(event, "exit_code", None)


def summary_by_location(distinct):
    """Every distinct report with its count, grouped by the location of its
    summary, the most frequent location first."""
    groups = {}
    for d in distinct:
        groups.setdefault((d.kind, d.place), []).append(d)
    ordered = sorted(groups.items(), key=lambda item: -sum(d.seen() for d in item[1]))
    lines = ["vexa: distinct reports by location, most frequent first:"]
    for (kind, place), members in ordered:
        name = "data sharing" if kind == layout.DATA_SHARING else "reentrant call"
        lines.append("  %s %s: seen %s" % (name, place, _times(sum(d.seen() for d in members))))
        for d in sorted(members, key=lambda d: -d.seen()):
            lines.append("    %s: reported %s, seen %s" % (d.detail, _times(d.shown, "once"), _times(d.seen())))
    return lines


def _times(n, one="once"):
    return one if n == 1 else "{:,} times".format(n)


session = Session()
