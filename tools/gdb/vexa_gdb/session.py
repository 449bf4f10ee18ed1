"""The debugger side of the protocol: the breakpoint, its stops, and what
the extension keeps for the GDB session and for each library load.

Kept for the whole GDB session (Settings): the detectors, suspension
marking and hook groups the user switched, and the user's filters; all of
it is sent again at every load stop, so it holds across `run`.
Kept for one library load (Library): the block's addresses, the filter
buffer's capacity and the exchange of commands; dropped at unload and exit.
"""

import traceback

import gdb

from . import layout
from . import parameters
from . import report
from . import resolve
from .block import Block, library_present
from .exchange import Exchange, FilterBatch
from .filters import Filters

DEFAULT_ENABLE = layout.ENABLE_TSM | layout.ENABLE_RE


class Settings(object):
    """Only what the user said; bits the user never named keep the
    library's value from its environment, or the default when it has none."""

    def __init__(self):
        self.enable = {}
        self.guard = {}
        self.filters = Filters()

    @staticmethod
    def _apply(choices, word):
        for bit, on in choices.items():
            word = (word | bit) if on else (word & ~bit)
        return word & 0xFFFFFFFF

    def enable_word(self, word):
        return self._apply(self.enable, word)

    def guard_word(self, word):
        return self._apply(self.guard, word)

    def load_words(self, enable, guard):
        return (self.enable_word(enable or DEFAULT_ENABLE), self.guard_word(guard or layout.GUARD_ALL))


class Counts(object):
    """What one process reported."""

    def __init__(self, pid=None):
        self.pid = pid
        self.loads = 0
        self.seen = {layout.DATA_SHARING: 0, layout.REENTRANT_CALL: 0}
        self.printed = 0
        self.duplicates = 0
        self.filtered = 0
        self.errors = 0  # errors the library raised about the program
        self.failed_commands = 0
        self.keys = set()

    def reported(self):
        return sum(self.seen.values()) - self.filtered


class Library(object):
    """One load of libvexa.so in one process."""

    def __init__(self, session, inferior, block):
        self.session = session
        self.inferior = inferior
        self.pid = inferior.pid
        self.block = block
        self.capacity = 0  # records the filter buffer holds; 0 until we allocate one
        self.exchange = Exchange()
        self.symbols = report.Symbols()
        self.path = block.path  # frames in this file are the library's own
        self.loaded = False
        self.words_dirty = False
        self.unloaded = False
        self.last_code = None  # code address of the latest report

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
        lib.loaded = True
        words = lib.block.read_words()
        enable, guard = self.settings.load_words(words[layout.ENABLE], lib.block.guard())
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
        records = self.settings.filters.load_records(entries)
        if records:
            lib.exchange.submit(FilterBatch("restore filters", records, skip_failed=True), first=True)
        detectors = " ".join(layout.bit_names(enable, layout.ENABLE_NAMES)) or "none"
        hooks = " ".join(layout.bit_names(guard, layout.GUARD_NAMES)) or "none"
        self.say("vexa: library %s: %s; detectors: %s; hooks: %s%s" % (
            "found running" if found_running else "loaded", lib.path, detectors, hooks,
            "; filter records: %d" % len(records) if records else ""), 1)

    def on_detection(self, lib, reason):
        self.counts.seen[reason] += 1
        if reason == layout.DATA_SHARING:
            record, offended = lib.block.sharing()
            offender = record.offender
            ignored = self.settings.filters.threads("tsm")
            offended = [a for a in offended if (a.task, a.thread) not in ignored]
            if (offender.task, offender.thread) in ignored or not offended:
                self.counts.filtered += 1
                return False
            key = report.sharing_key(offender, offended)
            code = offender.code
        else:
            record, tasks = lib.block.reentrancy()
            ignored = self.settings.filters.threads("re")
            caller = tasks[-1] if tasks else None
            tasks = [t for t in tasks[:-1] if tuple(t) not in ignored] + ([caller] if caller else [])
            if caller is None or tuple(caller) in ignored or len(tasks) < 2:
                self.counts.filtered += 1
                return False
            key = report.reentrancy_key(record)
            code = record.code
        if key in self.counts.keys and not parameters.get("print-duplicates"):
            self.counts.duplicates += 1
            return False
        self.counts.keys.add(key)
        self.counts.printed += 1
        lib.last_code = code
        depth = parameters.get("backtrace")
        frames = report.user_frames(lib.path, code, depth) if depth else []
        threads = report.Threads(lib.inferior)
        if reason == layout.DATA_SHARING:
            lines = report.sharing_report(lib.symbols, threads, offender, offended, frames)
        else:
            lines = report.reentrancy_report(lib.symbols, threads, record, tasks, frames)
        gdb.write("\n".join(lines) + "\n")
        return bool(parameters.get("stop-on-detection"))

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
        lib.block.write_word(layout.ENABLE, self.settings.enable_word(words[layout.ENABLE]))
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
        frame = report.hook_caller(lib.last_code, lib.path)
        if frame is not None:
            frame.select()
            gdb.execute("frame")

    def on_exited(self, event):
        lib = self.library
        if lib is not None:
            lib.exchange.drop(lib, "the program exited")
        self.library = None
        self.last_exit = getattr(event, "exit_code", None)


session = Session()
