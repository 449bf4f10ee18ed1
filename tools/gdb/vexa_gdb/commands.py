"""The `vexa` commands, `info vexa`, and the `set vexa` / `show vexa`
prefixes."""

import gdb

from . import filters as filtering
from . import layout
from . import parameters
from . import resolve
from . import suppress
from .exchange import FilterBatch, Ping, Reset
from .session import session

DETECTOR_WORDS = {"tsm": layout.ENABLE_TSM, "re": layout.ENABLE_RE, "suspend-marking": layout.ENABLE_SUSPEND_MARKING}
HOOK_WORDS = {"task": layout.GUARD_TASK, "memory": layout.GUARD_MEMORY, "function": layout.GUARD_FUNCTION}
RESET_WORDS = {"tsm": layout.RESET_TSM, "re": layout.RESET_RE}


def _complete_words(words, text, word):
    typed = text.split()
    if text and not text[-1].isspace() and typed:
        typed = typed[:-1]
    prefix = word or ""
    return [w for w in words if w.startswith(prefix) and w not in typed]


def _names(arg, allowed, default, what):
    names = arg.split() or list(default)
    for name in names:
        if name not in allowed:
            raise gdb.GdbError("vexa: unknown %s '%s'; use %s" % (what, name, ", ".join(sorted(allowed))))
    return names


class Vexa(gdb.Command):
    """Find data sharing and reentrant calls between tasks with libvexa.

The library's detectors report to this extension; every report names both
conflicting accesses with their task, thread, function and source line.
At the library's load stop both detectors and every hook group are switched
on, and the filters set with `vexa filter` are installed; all of it is sent
again at every run.

  vexa enable|disable [tsm|re|suspend-marking]...   switch detectors
  vexa hooks on|off [task|memory|function]...      switch hook groups
  vexa reset [tsm|re]...        forget what a detector has seen so far
  vexa filter add|remove|clear  narrow what the detectors look at
  vexa suppress load|list       reports not to show again
  vexa ping                     ask whether the library is alive
  vexa batch [ARGS]             run, report, exit with a status
  info vexa                     the library's state and the report counts
  set vexa ... / show vexa ...  stop-on-detection, verbose, backtrace,
                                print-duplicates, json, sarif, html"""

    def __init__(self):
        gdb.Command.__init__(self, "vexa", gdb.COMMAND_DATA, gdb.COMPLETE_NONE, True)

    def invoke(self, arg, from_tty):
        gdb.execute("help vexa")


class _Switch(gdb.Command):
    def __init__(self, name, on):
        self.on = on
        gdb.Command.__init__(self, name, gdb.COMMAND_DATA)

    def complete(self, text, word):
        return _complete_words(sorted(DETECTOR_WORDS), text, word)

    def invoke(self, arg, from_tty):
        default = ("tsm", "re") if self.on else sorted(DETECTOR_WORDS)
        for name in _names(arg, DETECTOR_WORDS, default, "detector"):
            session.settings.enable[DETECTOR_WORDS[name]] = self.on
        session.words_changed()


class Enable(_Switch):
    """Switch on detectors: vexa enable [tsm|re|suspend-marking]...
With no argument, both detectors. tsm finds data shared by live tasks with
at least one write; re finds a function entered by one task while another
task runs it. suspend-marking (with tsm) leaves out the accesses of a task
while it is suspended."""

    def __init__(self):
        _Switch.__init__(self, "vexa enable", True)


class Disable(_Switch):
    """Switch off detectors: vexa disable [tsm|re|suspend-marking]...
With no argument, everything."""

    def __init__(self):
        _Switch.__init__(self, "vexa disable", False)


class Hooks(gdb.Command):
    """Switch hook groups: vexa hooks on|off [task|memory|function]...
With no group, all three. A group that is off costs the program almost
nothing and feeds no detector. The library switches the memory hooks off
by itself while no task runs, and on again when a task starts."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa hooks", gdb.COMMAND_DATA)

    def complete(self, text, word):
        if len(text.split()) == 0 or (len(text.split()) == 1 and not text[-1:].isspace()):
            return _complete_words(["on", "off"], text, word)
        return _complete_words(sorted(HOOK_WORDS), text, word)

    def invoke(self, arg, from_tty):
        words = arg.split()
        if not words or words[0] not in ("on", "off"):
            raise gdb.GdbError("vexa: usage: vexa hooks on|off [task|memory|function]...")
        for name in _names(" ".join(words[1:]), HOOK_WORDS, sorted(HOOK_WORDS), "hook group"):
            session.settings.guard[HOOK_WORDS[name]] = words[0] == "on"
        session.words_changed()


class ResetCommand(gdb.Command):
    """Make a detector forget what it has seen: vexa reset [tsm|re]...
With no argument, both. tsm forgets every logged access, re every open
function activation; filters stay."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa reset", gdb.COMMAND_DATA)

    def complete(self, text, word):
        return _complete_words(sorted(RESET_WORDS), text, word)

    def invoke(self, arg, from_tty):
        names = _names(arg, RESET_WORDS, ("tsm", "re"), "detector")
        bits = 0
        for name in names:
            bits |= RESET_WORDS[name]
        session.submit(Reset(("reset " + " ".join(names)).strip(), bits, names))


class PingCommand(gdb.Command):
    """Ask the library whether it is alive and serving commands."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa ping", gdb.COMMAND_DATA)

    def invoke(self, arg, from_tty):
        session.submit(Ping("ping"))


class Filter(gdb.Command):
    """Narrow what the detectors look at.

  vexa filter add DETECTOR KIND WHAT
  vexa filter remove DETECTOR KIND WHAT
  vexa filter clear DETECTOR [KIND]

DETECTOR is tsm or re; KIND is code, data or thread. WHAT is
  code:   FUNCTION, [FILE:]LINE[-LINE] or *ADDRESS[, SIZE]
  data:   an expression: &var or var (the variable), a pointer (what it
          points to), or EXPRESSION, SIZE
  thread: a GDB thread number of the program (or a pthread_t value)

tsm ignores what its filters name: accesses made from the code, accesses
to the data, reports of the threads. re examines only the functions of its
code filter (all functions while it has none); its thread filter hides
reports of those threads; it has no data filter.
Filters are kept for the GDB session and installed again at every run."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa filter", gdb.COMMAND_DATA, gdb.COMPLETE_NONE, True)

    def invoke(self, arg, from_tty):
        gdb.execute("help vexa filter")


def _threads_changed(kind):
    # With a thread filter the library must stop at every repeat (see
    # Settings.enable_word).
    if kind == "thread":
        session.words_changed()


def _parse_target(arg, need_text, usage):
    words = arg.split(None, 2)
    if len(words) < 2 or (need_text and len(words) < 3):
        raise gdb.GdbError("vexa: usage: " + usage)
    detector, kind = words[0], words[1]
    try:
        filtering.check_target(detector, kind)
    except filtering.FilterError as e:
        raise gdb.GdbError("vexa: %s" % e)
    return detector, kind, words[2].strip() if len(words) > 2 else ""


def _complete_filter(text, word):
    words = text.split()
    done = len(words) if text[-1:].isspace() else len(words) - 1
    if done <= 0:
        return _complete_words(list(filtering.DETECTORS), text, word)
    if done == 1:
        return _complete_words(list(filtering.KINDS), text, word)
    return gdb.COMPLETE_SYMBOL if words[1] == "code" else gdb.COMPLETE_EXPRESSION


def _resolve(detector, kind, text):
    try:
        return resolve.RESOLVERS[kind](text, detector)
    except resolve.ResolveError as e:
        raise gdb.GdbError("vexa: %s" % e)


class FilterAdd(gdb.Command):
    """Add a filter: vexa filter add tsm|re code|data|thread WHAT
See `help vexa filter`."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa filter add", gdb.COMMAND_DATA)

    def complete(self, text, word):
        return _complete_filter(text, word)

    def invoke(self, arg, from_tty):
        detector, kind, text = _parse_target(arg, True, "vexa filter add tsm|re code|data|thread WHAT")
        entry = filtering.Entry(detector, kind, text, _resolve(detector, kind, text), fixed=(kind == "thread"))
        chosen = session.settings.filters
        title = "filter add %s %s %s" % (detector, kind, text)
        if session.live() is None or not filtering.sent_to_library(detector, kind):
            try:
                chosen.check_add(entry)
            except filtering.FilterError as e:
                raise gdb.GdbError("vexa: %s" % e)
            chosen.commit_add(entry)
            _threads_changed(kind)
            session.say("vexa: %s: %s" % (title, entry.describe() if session.live() else "kept for the next run"), 1)
            return

        def done():
            chosen.commit_add(entry)
            _threads_changed(kind)
            session.say("vexa: %s: installed %s" % (title, entry.describe()), 1)

        session.submit(FilterBatch(title, lambda: chosen.add_records(entry), on_success=done))


class FilterRemove(gdb.Command):
    """Remove filters: vexa filter remove tsm|re code|data|thread WHAT
Removes every filter value that contains WHAT or lies inside it.
See `help vexa filter`."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa filter remove", gdb.COMMAND_DATA)

    def complete(self, text, word):
        return _complete_filter(text, word)

    def invoke(self, arg, from_tty):
        detector, kind, text = _parse_target(arg, True, "vexa filter remove tsm|re code|data|thread WHAT")
        values = _resolve(detector, kind, text)
        chosen = session.settings.filters
        title = "filter remove %s %s %s" % (detector, kind, text)
        if session.live() is None or not filtering.sent_to_library(detector, kind):
            try:
                chosen.check_remove(detector, kind, values, text)
            except filtering.FilterError as e:
                raise gdb.GdbError("vexa: %s" % e)
            chosen.commit_remove(detector, kind, values)
            _threads_changed(kind)
            session.say("vexa: %s: done" % title, 1)
            return

        def done():
            chosen.commit_remove(detector, kind, values)
            _threads_changed(kind)
            session.say("vexa: %s: done" % title, 1)

        session.submit(FilterBatch(title, lambda: chosen.remove_records(detector, kind, values), on_success=done))


class FilterClear(gdb.Command):
    """Remove every filter of a detector: vexa filter clear tsm|re [code|data|thread]
With no kind, every kind."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa filter clear", gdb.COMMAND_DATA)

    def complete(self, text, word):
        return _complete_filter(text, word) if len(text.split()) < 2 or not text[-1:].isspace() else []

    def invoke(self, arg, from_tty):
        words = arg.split()
        if not words or len(words) > 2:
            raise gdb.GdbError("vexa: usage: vexa filter clear tsm|re [code|data|thread]")
        detector = words[0]
        kinds = [words[1]] if len(words) > 1 else [k for k in filtering.KINDS if not (detector == "re" and k == "data")]
        try:
            for kind in kinds:
                filtering.check_target(detector, kind)
        except filtering.FilterError as e:
            raise gdb.GdbError("vexa: %s" % e)
        chosen = session.settings.filters
        title = "filter clear %s" % " ".join(words)

        def done():
            for kind in kinds:
                chosen.commit_clear(detector, kind)
                _threads_changed(kind)
            session.say("vexa: %s: done" % title, 1)

        if session.live() is None:
            done()
            return
        session.submit(FilterBatch(title, lambda: [r for kind in kinds for r in chosen.clear_records(detector, kind)],
                                   on_success=done))


class Suppress(gdb.Command):
    """Suppressions: reports not to show again.

  vexa suppress load FILE   add the suppressions of FILE
  vexa suppress list        the suppressions and how often the extension
                            dropped a report for each

A file holds one suppression per line, `#` starts a comment:
  sharing|reentrant|any  function NAME          (wildcards * ? [...] allowed)
  sharing|reentrant|any  line     FILE:LINE[-LAST]
  sharing                data     SYMBOL        (wildcards allowed)
Functions, lines and variables without wildcards become filters of the
library, so the program does not stop for them; the rest is dropped by the
extension at the stop. Suppressions are kept for the GDB session."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa suppress", gdb.COMMAND_DATA, gdb.COMPLETE_NONE, True)

    def invoke(self, arg, from_tty):
        gdb.execute("help vexa suppress")


class SuppressLoad(gdb.Command):
    """Load a suppression file: vexa suppress load FILE
See `help vexa suppress`."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa suppress load", gdb.COMMAND_DATA, gdb.COMPLETE_FILENAME)

    def invoke(self, arg, from_tty):
        path = arg.strip()
        if not path:
            raise gdb.GdbError("vexa: usage: vexa suppress load FILE")
        chosen = session.settings.suppressions
        try:
            found = chosen.load(path)
        except suppress.SuppressionError as e:
            raise gdb.GdbError("vexa: %s" % e)
        title = "suppress load %s" % path
        if session.live() is None:
            session.say("vexa: %s: %d suppressions, kept for the next run" % (title, len(found)), 1)
            return
        filters = session.settings.filters
        values, left = chosen.resolve(found)
        old = filters.suppressed

        def records():
            added = []
            for kind in ("code", "data"):
                taken = filters.values("tsm", kind) + old["tsm"][kind]
                for value in values["tsm"][kind]:
                    if not any(filtering.equivalent(kind, value, other) for other in taken):
                        taken.append(value)
                        added.append(layout.FilterRecord(layout.FEATURE_TSM, layout.KINDS[kind], layout.ACTION_ADD,
                                                         value[0], value[1]))
            if values["re"] and not filters.of("re", "code"):
                filters.suppressed = {"tsm": old["tsm"], "re": old["re"] + values["re"]}
                spans = filters.re_everything()
                filters.suppressed = old
                added.append(layout.FilterRecord(layout.FEATURE_RE, layout.KIND_CODE, layout.ACTION_CLEAR, 0, 0))
                added += [layout.FilterRecord(layout.FEATURE_RE, layout.KIND_CODE, layout.ACTION_ADD, v[0], v[1])
                          for v in spans]
            return added

        def done():
            filters.suppressed = {"tsm": {k: old["tsm"][k] + values["tsm"][k] for k in ("code", "data")},
                                  "re": old["re"] + values["re"]}
            session.say("vexa: %s: %d suppressions; matched by the extension: %s" % (
                title, len(found), ", ".join("%s (%s)" % (s.describe(), d) for s, d in left) or "none"), 1)

        session.submit(FilterBatch(title, records, on_success=done))


class SuppressList(gdb.Command):
    """List the suppressions: vexa suppress list"""

    def __init__(self):
        gdb.Command.__init__(self, "vexa suppress list", gdb.COMMAND_DATA)

    def invoke(self, arg, from_tty):
        gdb.write("\n".join(_suppressions()) + "\n")


def _suppressions():
    entries = session.settings.suppressions.entries
    if not entries:
        return ["  none"]
    return ["  %s  (%s; dropped by the extension %d times)" % (s.describe(), s.origin, s.hits) for s in entries]


def _status():
    lines = []
    lib = session.live()
    if lib is None:
        lines.append("libvexa.so: not loaded in a running program")
    else:
        words = lib.block.read_words()
        guard = lib.block.guard()
        lines.append("libvexa.so: %s, process %d" % (lib.path or "linked into the program", lib.pid))
        lines.append("  enable word:  0x%08x (%s)" % (words[layout.ENABLE],
                                                     " ".join(layout.bit_names(words[layout.ENABLE],
                                                                               layout.ENABLE_NAMES)) or "nothing"))
        lines.append("  guard word:   0x%08x (hooks: %s)" % (guard, " ".join(layout.bit_names(
            guard, layout.GUARD_NAMES)) or "none"))
        lines.append("  pending word: 0x%08x%s" % (words[layout.PENDING], (" (%s)" % ", ".join(
            layout.pending_names(words[layout.PENDING]))) if words[layout.PENDING] else ""))
        if lib.capacity:
            lines.append("  filter buffer: 0x%08x, %d records" % (lib.block.filter_space(), lib.capacity))
        exchange = lib.exchange
        if exchange.current is not None:
            lines.append('  in flight: "%s"' % exchange.current.title)
        for command in exchange.queue:
            lines.append('  queued: "%s"' % command.title)
    settings = session.settings
    said = ["%s %s" % (name, "on" if settings.enable[bit] else "off") for name, bit in sorted(DETECTOR_WORDS.items())
            if bit in settings.enable]
    said += ["%s hooks %s" % (name, "on" if settings.guard[bit] else "off") for name, bit in sorted(HOOK_WORDS.items())
             if bit in settings.guard]
    lines.append("Detectors and hooks set at every load: %s" % (", ".join(said) if said else
                                              "the defaults (tsm re, every hook group)"))
    lines.append("Filters:")
    for detector in filtering.DETECTORS:
        for kind in filtering.KINDS:
            entries = settings.filters.of(detector, kind)
            if entries:
                for entry in entries:
                    lines.append("  %s %s: %s" % (detector, kind, entry.describe()))
    if not settings.filters.all():
        lines.append("  none")
    lines.append("Suppressions:")
    lines += _suppressions()
    counts = session.counts
    lines.append("Reports%s: %d data sharing, %d reentrant call stops; %d printed, %d repeats, "
                 "%d hidden by thread filters, %d suppressed; %d library errors; %d failed commands" % (
                     " of process %d" % counts.pid if counts.pid else "", counts.seen[layout.DATA_SHARING],
                     counts.seen[layout.REENTRANT_CALL], counts.reported(), counts.repeats(), counts.filtered,
                     counts.suppressed, counts.errors, counts.failed_commands))
    return lines


class Status(gdb.Command):
    """Show the library's state: enable, guard and pending words, the
filters installed, commands waiting, and the counts of reports seen."""

    def __init__(self, name):
        gdb.Command.__init__(self, name, gdb.COMMAND_STATUS if name.startswith("info") else gdb.COMMAND_DATA)

    def invoke(self, arg, from_tty):
        gdb.write("\n".join(_status()) + "\n")


class SetVexa(gdb.Command):
    """Settings of the vexa extension."""

    def __init__(self):
        gdb.Command.__init__(self, "set vexa", gdb.COMMAND_DATA, gdb.COMPLETE_NONE, True)

    def invoke(self, arg, from_tty):
        gdb.execute("help set vexa")


class ShowVexa(gdb.Command):
    """Settings of the vexa extension."""

    def __init__(self):
        gdb.Command.__init__(self, "show vexa", gdb.COMMAND_DATA, gdb.COMPLETE_NONE, True)

    def invoke(self, arg, from_tty):
        for name in sorted(parameters.DEFAULTS):
            value = parameters.get(name)
            if isinstance(value, bool):
                value = "on" if value else "off"
            gdb.write("%s: %s\n" % (name, value))


def install():
    Vexa()
    Enable()
    Disable()
    Hooks()
    ResetCommand()
    PingCommand()
    Filter()
    FilterAdd()
    FilterRemove()
    FilterClear()
    Suppress()
    SuppressLoad()
    SuppressList()
    Status("info vexa")
    Status("vexa status")
    SetVexa()
    ShowVexa()
