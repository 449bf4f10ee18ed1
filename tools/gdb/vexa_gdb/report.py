"""Detection reports as a person reads them.

A report names both sides of a conflict: what the stopping thread did, with
its stack, and every earlier access of another task it conflicts with, each
with the task and thread that made it and the function and file:line of the
call. The library gives code addresses as return addresses, which point just
after the hook call; one byte back lands on the call's own line.
"""

import os
import re

import gdb

from . import layout

RULE = "=================="
MAX_PREVIOUS = 32  # earlier accesses listed in one report; the rest are counted


class Symbols(object):
    """Symbolises code addresses; one per library load, since a dlclose and
    dlopen may move code."""

    def __init__(self):
        self.lines = {}
        self.names = {}

    def function(self, pc):
        if pc in self.names:
            return self.names[pc]
        name = None
        try:
            block = gdb.block_for_pc(pc)
        except RuntimeError:
            block = None
        while block is not None and block.function is None:
            block = block.superblock
        if block is not None:
            name = block.function.print_name
        else:
            text = gdb.execute("info symbol 0x%x" % pc, to_string=True).strip()
            if not text.startswith("No symbol"):
                name = text.split(" in section ")[0]
        name = demangle(name)
        self.names[pc] = name
        return name

    def definition(self, function):
        """'file:line in func' of a function's own definition, for a report
        made where the function was called from."""
        name = self.function(function) or "??"
        try:
            block = gdb.block_for_pc(function)
        except RuntimeError:
            block = None
        while block is not None and block.function is None:
            block = block.superblock
        if block is not None and block.function.symtab is not None and block.function.line:
            return "%s:%d in %s" % (block.function.symtab.filename, block.function.line, name)
        sal = gdb.find_pc_line(function)
        if sal.symtab is not None and sal.line:
            return "%s:%d in %s" % (sal.symtab.filename, sal.line, name)
        return "0x%x in %s" % (function, name)

    def source(self, return_address):
        """(function, file, line) of the call that returns to the address."""
        at = return_address - 1
        sal = gdb.find_pc_line(at)
        if sal.symtab is not None and sal.line:
            return self.function(at), sal.symtab.filename, sal.line
        return self.function(at), None, None

    def call_site(self, return_address):
        """'0x... in func at file:line' for the call that returns to the address."""
        if return_address in self.lines:
            return self.lines[return_address]
        at = return_address - 1
        func = self.function(at) or "??"
        sal = gdb.find_pc_line(at)
        if sal.symtab is not None and sal.line:
            where = " at %s:%d" % (sal.symtab.filename, sal.line)
        else:
            lib = gdb.solib_name(at) or gdb.current_progspace().filename
            where = " from %s" % lib if lib else ""
        text = "0x%08x in %s%s" % (return_address, func, where)
        self.lines[return_address] = text
        return text

    def place(self, return_address):
        """'file:line in func', the short form for a summary line."""
        at = return_address - 1
        func = self.function(at) or "??"
        sal = gdb.find_pc_line(at)
        if sal.symtab is not None and sal.line:
            return "%s:%d in %s" % (sal.symtab.filename, sal.line, func)
        return "0x%x in %s" % (return_address, func)

    def data(self, address):
        text = gdb.execute("info symbol 0x%x" % address, to_string=True).strip()
        if text.startswith("No symbol"):
            return None
        return demangle(text.split(" in section ")[0])


_demangled = {}


def demangle(name):
    """A C++ name as written. Symbols without debug information, and the
    bodies a compiler outlines (`_ZL3runv._omp_fn.0`), come mangled."""
    if not name or not name.startswith("_Z"):
        return name
    symbol, sep, rest = name.partition(" + ")
    if symbol not in _demangled:
        try:
            text = gdb.execute("demangle -l c++ -- %s" % symbol, to_string=True).strip()
        except gdb.error:
            text = ""
        _demangled[symbol] = text if text and not text.startswith("Can't demangle") else symbol
    return _demangled[symbol] + sep + rest


# Frames that are not the program's: the library and the bridge (its
# libvexa_*.so libraries, or its sources linked in), the OpenMP runtime, and
# the C library's thread start-up. None of them is where a user fixes a bug.
_HIDDEN_LIBRARIES = re.compile(r"^(libvexa[._].*|libomp\b.*|libgomp\b.*|libiomp5\b.*)$")
_BRIDGE_SOURCE = re.compile(r"(^|/)bridge/[^/]+\.(cc|h)$")
_START_LIBRARIES = re.compile(r"^(libc|libpthread)\.so")


def hidden(pc):
    library = gdb.solib_name(pc)
    if library is not None and _HIDDEN_LIBRARIES.match(os.path.basename(library)):
        return True
    sal = gdb.find_pc_line(pc)
    return sal.symtab is not None and bool(_BRIDGE_SOURCE.search(sal.symtab.filename))


def _start_code(pc):
    library = gdb.solib_name(pc)
    return library is not None and bool(_START_LIBRARIES.match(os.path.basename(library)))


class Threads(object):
    """GDB's threads by the pthread_t the library records as a task's thread."""

    def __init__(self, inferior):
        self.by_handle = {}
        for thread in inferior.threads():
            try:
                handle = thread.handle()
            except (gdb.error, RuntimeError):
                continue
            if handle:
                self.by_handle[int.from_bytes(handle, "little")] = thread

    def number(self, thread):
        found = self.by_handle.get(thread)
        return found.num if found is not None else None

    def name(self, identity):
        """The thread as GDB numbers it, and the task when the program gave
        its tasks identities (the bridge does; plain hooks leave 0)."""
        task, thread = identity
        if task == 0 and thread == 0:
            return "a task that has ended"
        number = self.number(thread)
        where = "thread %d" % number if number is not None else "thread 0x%x (no longer running)" % thread
        return "task %d on %s" % (task, where) if task else where


def hook_caller(code, library):
    """The frame of the stopped thread that called the hook: the one whose
    pc is the event's code address. Failing that (a bridge's explicit code
    address), the first frame outside the library."""
    frame = gdb.newest_frame()
    first_outside = None
    depth = 0
    while frame is not None and depth < 32:
        pc = frame.pc()
        if pc == code:
            return frame
        if first_outside is None and library is not None and gdb.solib_name(pc) != library:
            first_outside = frame
        frame = frame.older()
        depth += 1
    return first_outside


def user_frames(library, limit):
    """Return addresses of the program's frames on the stopped thread,
    innermost first: the library's, the bridge's and the OpenMP runtime's
    own frames are left out, and the walk ends at the thread's start code."""
    frames = []
    frame = gdb.newest_frame()
    depth = 0
    while frame is not None and len(frames) < limit and depth < 64:
        pc = frame.pc()
        depth += 1
        frame = frame.older()
        if depth == 1 or (library is not None and gdb.solib_name(pc) == library) or hidden(pc - 1):
            continue  # the newest frame is the library's stop function
        if frames and _start_code(pc - 1):
            break
        frames.append(pc)
    return frames


def _stack(symbols, code, frames):
    lines = []
    for i, pc in enumerate(frames if frames else [code]):
        text = symbols.call_site(pc)
        if i > 0 and " in ?? " in text:
            break  # code without symbols: nothing a person acts on
        lines.append("    #%d %s" % (i, text))
    return lines


def _access_head(access, who, previous=False):
    verb = "write" if access.access else "read"
    if not previous:
        verb = verb.capitalize()
    return "%s%s of size %d at 0x%08x by %s:" % ("Previous " if previous else "", verb, access.size,
                                                 access.base, who)


def sharing_place(symbols, offender, frames):
    """Where a data sharing report is summarised: the access's own line,
    or the first frame of the program when the access was made by code that
    is not (the bridge's copy wrappers, the OpenMP runtime)."""
    if hidden(offender.code - 1) and frames:
        return symbols.place(frames[0])
    return symbols.place(offender.code)


def reentrancy_place(symbols, record):
    """A reentrant call is about the function entered: the line of the
    hook when the function made the call itself, else its definition (a
    bridge reports the call from the caller, which may be a thread's start
    or the OpenMP runtime)."""
    entered = symbols.function(record.function)
    if entered is not None and symbols.function(record.code - 1) == entered and not hidden(record.code - 1):
        return symbols.place(record.code)
    return symbols.definition(record.function)


def sharing_report(symbols, threads, offender, offended, frames):
    lines = [RULE, layout.message(layout.DATA_SHARING)]
    lines.append("  " + _access_head(offender, threads.name((offender.task, offender.thread))))
    lines += _stack(symbols, offender.code, frames)
    for access in offended[:MAX_PREVIOUS]:
        lines.append("  " + _access_head(access, threads.name((access.task, access.thread)), previous=True))
        lines.append("    #0 %s" % symbols.call_site(access.code))
    if len(offended) > MAX_PREVIOUS:
        lines.append("  ... and %d more earlier accesses" % (len(offended) - MAX_PREVIOUS))
    location = symbols.data(offender.base)
    if location is not None:
        lines.append("  Location is global '%s' at 0x%08x" % (location, offender.base))
    lines.append("SUMMARY: vexa: data sharing %s" % sharing_place(symbols, offender, frames))
    lines.append(RULE)
    return lines


def reentrancy_report(symbols, threads, record, tasks, frames):
    caller, others = tasks[-1], tasks[:-1]
    name = symbols.function(record.function) or "function"
    lines = [RULE, layout.message(layout.REENTRANT_CALL)]
    lines.append("  Call of %s (0x%08x) by %s:" % (name, record.function, threads.name(caller)))
    lines += _stack(symbols, record.code, frames)
    lines.append("  %s is still running in %s" % (name, ", ".join(threads.name(t) for t in others)))
    lines.append("SUMMARY: vexa: reentrant call %s" % reentrancy_place(symbols, record))
    lines.append(RULE)
    return lines


def access_json(symbols, threads, access, task=None, thread=None):
    """One side of a report as the JSON output gives it."""
    if access is None:
        function, file, line = None, None, None
        pc = size = address = symbol = kind = None
    else:
        function, file, line = symbols.source(access.code)
        pc, size, address = access.code, access.size, access.base
        symbol = symbols.data(access.base) if access.base is not None else None
        kind = None if access.access is None else "write" if access.access else "read"
        task, thread = access.task, access.thread
    return {"access": kind, "pc": pc, "function": function, "file": file, "line": line,
            "thread": threads.number(thread), "thread_handle": thread, "task": task, "size": size,
            "address": address, "symbol": symbol}
