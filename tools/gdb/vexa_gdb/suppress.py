"""Suppressions: reports the user has judged and does not want to see again.

A suppression file has one suppression per line; `#` starts a comment:

    KIND  function  NAME        a function (shell wildcards * ? [...] allowed)
    KIND  line      FILE:LINE   a source line, or FILE:FIRST-LAST; FILE may
                                be a path's last components (queens.c)
    KIND  data      SYMBOL      a global or static variable (wildcards allowed)

KIND is `sharing` (data sharing), `reentrant` (reentrant call) or `any`.
A data sharing report is suppressed for each conflict in which either access
was made in the function or on the line, or which touches the variable; a
reentrant call report when the function entered is the one named (or holds
the line). `data` applies to data sharing only.

Wherever it can, a suppression becomes a filter of the library, so that the
program never stops for it: a variable of `sharing` becomes a data range
of tsm, and `reentrant` functions are left out of re's list of functions
to examine (unless the user gave re a list of his own). Functions and
lines of `sharing` stay the extension's: a tsm code range would also leave
out every task started from that code. Those, names with wildcards, code
not loaded when the library loads, and thread-local or heap data stop the
program once per distinct report and the extension drops them.
"""

import fnmatch
import re

import gdb

from . import resolve

KINDS = {"sharing": ("tsm",), "reentrant": ("re",), "any": ("tsm", "re")}
WHATS = ("function", "line", "data")
_LINE = re.compile(r"^(?P<file>.+):(?P<first>\d+)(?:-(?P<last>\d+))?$")
_WILDCARD = re.compile(r"[*?\[]")


class SuppressionError(Exception):
    pass


class Suppression(object):
    def __init__(self, kind, what, pattern, origin):
        self.kind = kind
        self.detectors = KINDS[kind]
        self.what = what
        self.pattern = pattern
        self.origin = origin  # FILE:LINE of the suppression
        self.hits = 0  # reports the extension dropped for it
        self.file = self.first = self.last = None
        if what == "line":
            found = _LINE.match(pattern)
            if not found:
                raise SuppressionError("%s: a line is FILE:LINE or FILE:FIRST-LAST, not '%s'" % (origin, pattern))
            self.file = found.group("file")
            self.first = int(found.group("first"))
            self.last = int(found.group("last") or self.first)
        if what == "data" and kind == "reentrant":
            raise SuppressionError("%s: a reentrant call touches no data; use sharing data" % origin)

    def describe(self):
        return "%s %s %s" % (self.kind, self.what, self.pattern)

    # Client-side matching, for what the library's filters could not take.
    def _function(self, name):
        if not name:
            return False
        names = [name]
        if name.startswith("OpenMP ") and " in " in name:
            names.append(name.split(" in ", 1)[1])  # an outlined body is its function's code
        names += [n.split("(")[0] for n in names]
        return any(fnmatch.fnmatchcase(n, self.pattern) for n in names)

    def _line(self, file, line):
        if file is None or not self.first <= line <= self.last:
            return False
        return file == self.file or file.endswith("/" + self.file.lstrip("/"))

    def code(self, symbols, code):
        """Whether the code at a return address is suppressed: any frame
        of its inline chain (the access's own line, the lines that inlined
        it) may match."""
        for frame in symbols.chain(code):
            if self.what == "function" and self._function(frame.function):
                return True
            if self.what == "line" and frame.line is not None and self._line(frame.file, frame.line):
                return True
        return False

    def data(self, symbols, address):
        if self.what != "data":
            return False
        name = symbols.data(address)
        return name is not None and fnmatch.fnmatchcase(name.split(" + ")[0], self.pattern)

    def function(self, symbols, function):
        """Whether a reentrant call of the function is suppressed."""
        if self.what == "function":
            return self._function(symbols.function(function))
        if self.what == "line":
            place = symbols.definition(function)
            found = re.match(r"^(.*):(\d+) in ", place)
            if found and self._line(found.group(1), int(found.group(2))):
                return True
            # Any line of the function's body.
            try:
                block = gdb.block_for_pc(function)
            except RuntimeError:
                return False
            while block is not None and block.function is None:
                block = block.superblock
            if block is None or block.function.symtab is None:
                return False
            lines = [e.line for e in block.function.symtab.linetable() if block.start <= e.pc < block.end]
            return any(self._line(block.function.symtab.filename, n) for n in lines)
        return False

    # Filters.
    def ranges(self, detector):
        """The library's ranges for this suppression and detector: tsm data
        ranges or re function entry points; None when it cannot be
        a filter and is matched by the extension instead."""
        if detector not in self.detectors or _WILDCARD.search(self.pattern if self.what != "line" else self.file):
            return None
        if detector == "tsm" and self.what != "data":
            # A tsm code range also leaves out every task started from the
            # code (a parallel region's tasks, started on its directive's
            # line), with all they do in other functions and files: the
            # extension matches the accesses themselves instead.
            return None
        try:
            if self.what == "data":
                return ("data", resolve.data(self.pattern))
            text = self.pattern if self.what == "function" else "%s:%d-%d" % (self.file, self.first, self.last)
            spans = resolve.code(text, "tsm")
        except (resolve.ResolveError, gdb.error):
            return None
        if self.what == "function":
            return ("entry", [spans[0][0]])
        return None  # re lines: matched by the extension


def parse(text, name):
    found = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        words = line.split(None, 2)
        origin = "%s:%d" % (name, number)
        if len(words) != 3:
            raise SuppressionError("%s: expected KIND WHAT PATTERN, e.g. 'sharing function worker'" % origin)
        kind, what, pattern = words
        if kind not in KINDS:
            raise SuppressionError("%s: unknown kind '%s': use sharing, reentrant or any" % (origin, kind))
        if what not in WHATS:
            raise SuppressionError("%s: unknown '%s': use function, line or data" % (origin, what))
        found.append(Suppression(kind, what, pattern.strip(), origin))
    return found


class Suppressions(object):
    """The suppressions loaded in this GDB session."""

    def __init__(self):
        self.entries = []
        self.files = []

    def load(self, path):
        try:
            with open(path) as f:
                text = f.read()
        except OSError as e:
            raise SuppressionError("cannot read %s: %s" % (path, e.strerror))
        found = parse(text, path)
        self.entries += found
        self.files.append(path)
        return found

    def sharing(self, symbols, offender, offended):
        """The earlier accesses whose conflict with the offender no
        suppression matches."""
        if not self.entries:
            return offended
        chosen = [s for s in self.entries if "tsm" in s.detectors]
        for s in chosen:
            if s.code(symbols, offender.code) or s.data(symbols, offender.base):
                s.hits += 1
                return []
        kept = []
        for access in offended:
            hit = next((s for s in chosen if s.code(symbols, access.code)), None)
            if hit is None:
                kept.append(access)
            else:
                hit.hits += 1
        return kept

    def reentrancy(self, symbols, record):
        for s in self.entries:
            if "re" in s.detectors and s.function(symbols, record.function):
                s.hits += 1
                return True
        return False

    def resolve(self, entries=None):
        """Per detector, the filter values of the suppressions that can be
        filters now: {"tsm": {"code": [...], "data": [...]}, "re": [entry...]}
        and the suppressions that are left to the extension."""
        values = {"tsm": {"code": [], "data": []}, "re": []}
        left = []
        for s in (self.entries if entries is None else entries):
            for detector in s.detectors:
                found = s.ranges(detector)
                if found is None:
                    left.append((s, detector))
                elif detector == "re":
                    values["re"] += found[1]
                else:
                    values["tsm"][found[0]] += found[1]
        return values, left
