"""Detection reports as a person reads them.

A report names both sides of a conflict: what the stopping thread did, with
its stack, and every earlier access of another task it conflicts with, each
with the task and thread that made it and the function and file:line of the
call. The library gives code addresses as return addresses, which point just
after the hook call; one byte back lands on the call's own line.
"""

import ctypes
import os
import re
from collections import namedtuple

import gdb

from . import columns
from . import layout

RULE = "=================="


class Frame(namedtuple("Frame", "pc function file line column path")):
    """One frame of an access: `file` as the debug information names it,
    `path` the same file made absolute (None when unknown)."""

    def __new__(cls, pc, function, file, line, column, path=None):
        return super(Frame, cls).__new__(cls, pc, function, file, line, column, path)


class Symbols(object):
    """Symbolises code addresses; one per library load, since a dlclose and
    dlopen may move code. Nothing here runs a GDB command: a command that
    fails inside a breakpoint's stop() ends GDB's wait for the program, so
    that `run` returns while the program still runs."""

    def __init__(self, pid=0):
        self.lines = {}
        self.names = {}
        self.chains = {}
        self.columns = columns.Columns(pid)

    def function(self, pc):
        """The innermost function at a code address: an inlined one when
        the code was inlined there."""
        if pc in self.names:
            return self.names[pc]
        name = None
        block = _function_block(pc)
        if block is not None:
            name = pretty_function(self, block)
        else:
            name = _symbol_at(pc)
        name = demangle(name)
        self.names[pc] = name
        return name

    def chain(self, return_address):
        """The frames of the code that returns to the address, innermost
        first: the functions inlined there, each at its line, then the
        function that holds the code, at the call's line."""
        if return_address in self.chains:
            return self.chains[return_address]
        at = return_address - 1
        frames = []
        sal = gdb.find_pc_line(at)
        file, path = _file(sal.symtab if sal.line else None)
        line = sal.line if file else None
        column = self.columns.column(at, line) if file else None
        block = _function_block(at)
        if block is None:
            frames.append(Frame(return_address, demangle(_symbol_at(at)), file, line, column, path))
        outlined = False
        while block is not None:
            name = pretty_function(self, block)
            if outlined and _OUTLINED.match(block.function.name or ""):
                # clang inlines a task's outlined body into its entry: one
                # frame for both, at the body's line, named as the entry.
                frames[-1] = frames[-1]._replace(function=name)
            else:
                frames.append(Frame(return_address, name, file, line, column, path))
            outlined = bool(_OUTLINED.match(block.function.name or ""))
            if not _inlined(block):
                break
            # An inlined function's symbol carries its call site.
            symbol = block.function
            file, path = _file(symbol.symtab if symbol.line else None)
            line = symbol.line if file else None
            column = None
            block = _function_block_of(block.superblock)
        self.chains[return_address] = frames
        return frames

    def definition(self, function):
        """'file:line in func' of a function's own definition, for a report
        made where the function was called from."""
        name = self.function(function) or "??"
        block = _function_block(function)
        if block is not None and block.function.symtab is not None and block.function.line:
            return "%s:%d in %s" % (block.function.symtab.filename, block.function.line, name)
        sal = gdb.find_pc_line(function)
        if sal.symtab is not None and sal.line:
            return "%s:%d in %s" % (sal.symtab.filename, sal.line, name)
        return "0x%x in %s" % (function, name)

    def source(self, return_address):
        """(function, file, line) of the call that returns to the address."""
        frame = self.chain(return_address)[0]
        return frame.function, frame.file, frame.line

    def call_site(self, return_address):
        """'0x... in func at file:line' for the call that returns to the address."""
        if return_address in self.lines:
            return self.lines[return_address]
        text = frame_text(self.chain(return_address)[0])
        self.lines[return_address] = text
        return text

    def place(self, return_address):
        """'file:line in func', the short form for a summary line."""
        return frame_place(self.chain(return_address)[0])

    def data(self, address):
        return _data_symbol(address)


def frame_text(frame):
    if frame.file is not None:
        where = " at %s:%d" % (frame.file, frame.line)
    else:
        lib = gdb.solib_name(frame.pc - 1) or gdb.current_progspace().filename
        where = " from %s" % lib if lib else ""
    return "0x%08x in %s%s" % (frame.pc, frame.function or "??", where)


def frame_place(frame):
    if frame.file is not None:
        return "%s:%d in %s" % (frame.file, frame.line, frame.function or "??")
    return "0x%x in %s" % (frame.pc, frame.function or "??")


def short_place(frame):
    """'file:line:column' with the file's last component, for one line of
    the summary; the column tells apart accesses of one line."""
    if frame.file is None:
        return "0x%x" % frame.pc
    text = "%s:%d" % (os.path.basename(frame.file), frame.line)
    return text + (":%d" % frame.column if frame.column else "")


def _file(symtab):
    if symtab is None:
        return None, None
    try:
        return symtab.filename, symtab.fullname()
    except (gdb.error, RuntimeError):
        return symtab.filename, None


def _function_block_of(block):
    while block is not None and block.function is None:
        block = block.superblock
    return block


def _function_block(pc):
    try:
        block = gdb.block_for_pc(pc)
    except RuntimeError:
        block = None
    return _function_block_of(block)


def _inlined(block):
    # An inlined call's block lies inside its caller's code. A function's
    # own block hangs off the file's static (or the global) block, or, for
    # a body GCC outlines for OpenMP, off its parent function's, whose code
    # it is not in.
    outer = _function_block_of(block.superblock)
    return outer is not None and outer.start <= block.start and block.end <= outer.end


_ADDRESS_SYMBOL = re.compile(r"<(.+?)(?:\+(\d+))?>$")


def _symbol_at(address):
    """'name' or 'name + offset' of the minimal symbol at an address."""
    try:
        text = gdb.format_address(address)
    except (gdb.error, RuntimeError, AttributeError):
        return None
    found = _ADDRESS_SYMBOL.search(text)
    if not found:
        return None
    return found.group(1) + (" + %s" % found.group(2) if found.group(2) else "")


def _data_symbol(address):
    name = _symbol_at(address)
    return demangle(name) if name else None


def _cxa_demangle():
    # GDB is a C++ program: the C++ runtime's demangler is already in its
    # process, and calling it runs no GDB command.
    for name in (None, "libstdc++.so.6"):
        try:
            function = ctypes.CDLL(name).__cxa_demangle
        except (OSError, AttributeError):
            continue
        function.restype = ctypes.c_void_p
        function.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
        free = ctypes.CDLL(None).free
        free.argtypes = [ctypes.c_void_p]
        return function, free
    return None, None


_demangler, _free = _cxa_demangle()
_demangled = {}


def _demangle_symbol(symbol):
    if symbol in _demangled:
        return _demangled[symbol]
    text = symbol
    if _demangler is not None:
        status = ctypes.c_int(0)
        result = _demangler(symbol.encode(), None, None, ctypes.byref(status))
        if result:
            if status.value == 0:
                text = ctypes.string_at(result).decode("utf-8", "replace")
            _free(result)
    _demangled[symbol] = text
    return text


# Bodies a compiler outlines for OpenMP: GCC's `f._omp_fn.N` (and
# `._omp_cpyfn.N`, a task's copy constructor), clang's `f.omp_outlined`
# (older clang: `.omp_outlined.` with no parent, `.omp_task_entry.`).
_OUTLINED = re.compile(r"^(?P<parent>.*?)(?:^|\.)(?P<kind>_omp_fn|_omp_cpyfn|omp_outlined|omp_task_entry)"
                       r"(?:[._].*)?$")
_OUTLINED_KIND = {"_omp_fn": "OpenMP region", "omp_outlined": "OpenMP region", "omp_task_entry": "OpenMP task",
                  "_omp_cpyfn": "OpenMP task copy"}
# GDB prints a mangled name without debug name as `_Z...(void)`.
_GDB_SIGNATURE = re.compile(r"^(_Z[^(]*)\(.*\)$")


def demangle(name):
    """A C++ name as written; an outlined OpenMP body as "OpenMP region in
    F" with F its function's name (symbols without debug information and
    outlined bodies come mangled, and the suffix defeats GDB's demangler)."""
    if not name:
        return name
    symbol, sep, rest = name.partition(" + ")
    bare = _GDB_SIGNATURE.match(symbol)
    if bare:
        symbol = bare.group(1)
    outlined = _OUTLINED.match(symbol)
    if outlined and outlined.group("parent"):
        parent = _demangle_symbol(outlined.group("parent"))
        return "%s in %s%s%s" % (_OUTLINED_KIND[outlined.group("kind")], parent, sep, rest)
    if symbol.startswith("_Z"):
        symbol = _demangle_symbol(symbol)
    return symbol + sep + rest


def pretty_function(symbols, block):
    """The name of a function block; clang's outlined bodies without a
    parent in their name get the function of the file whose definition is
    the closest before theirs (where the region's directive stands)."""
    name = demangle(block.function.print_name)
    symbol = block.function
    if _OUTLINED.match(symbol.name or "") and not _OUTLINED.match(symbol.name).group("parent"):
        kind = _OUTLINED_KIND[_OUTLINED.match(symbol.name).group("kind")]
        parent = _enclosing_function(symbol)
        return "%s in %s" % (kind, parent) if parent else kind
    return name


def _enclosing_function(symbol):
    if symbol.symtab is None or not symbol.line:
        return None
    best = None
    for scope in (symbol.symtab.global_block(), symbol.symtab.static_block()):
        for candidate in scope:
            if not candidate.is_function or candidate.symtab is None:
                continue
            # Names that start with a dot are the compiler's own helpers
            # (.omp_task_privates_map., .omp_outlined.).
            name = candidate.name or ""
            if candidate.symtab.filename != symbol.symtab.filename or name.startswith(".") or _OUTLINED.match(name):
                continue
            if candidate.line <= symbol.line and (best is None or candidate.line > best.line):
                best = candidate
    return demangle(best.print_name) if best is not None else None


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
    own frames are left out, and the walk ends at the thread's start code.
    GDB's inline frames share their pc with the frame that holds them;
    Symbols.chain unfolds them again, so they are skipped here."""
    frames = []
    frame = gdb.newest_frame()
    depth = 0
    while frame is not None and len(frames) < limit and depth < 64:
        pc = frame.pc()
        inline = frame.type() == gdb.INLINE_FRAME
        depth += 1
        frame = frame.older()
        if inline:
            continue
        if depth == 1 or (library is not None and gdb.solib_name(pc) == library) or hidden(pc - 1):
            continue  # the newest frame is the library's stop function
        if frames and _start_code(pc - 1):
            break
        frames.append(pc)
    return frames


_SYSTEM_SOURCE = re.compile(r"^/usr/(local/)?(include|lib|lib32|lib64|libx32|share)/")


def user_code(frame):
    """Whether a frame is in the program's own sources: not a system or
    compiler header (an intrinsic, the C++ library) and not the bridge."""
    return frame.file is not None and not _SYSTEM_SOURCE.match(frame.file) and \
        not _BRIDGE_SOURCE.search(frame.file)


def stack(symbols, code, frames, depth=None):
    """The frames of an access: the inline chain of each return address,
    the bridge's own frames left out."""
    found = []
    for pc in frames if frames else [code]:
        for frame in symbols.chain(pc):
            if frame.file is not None and _BRIDGE_SOURCE.search(frame.file):
                continue
            found.append(frame)
    return found if depth is None else found[:depth]


def _stack_lines(frames):
    lines = []
    for i, frame in enumerate(frames):
        if i > 0 and frame.function is None and frame.file is None:
            break  # code without symbols: nothing a person acts on
        lines.append("    #%d %s" % (i, frame_text(frame)))
    return lines


def _access_head(access, who, previous=False):
    verb = "write" if access.access else "read"
    if not previous:
        verb = verb.capitalize()
    return "%s%s of size %d at 0x%08x by %s:" % ("Previous " if previous else "", verb, access.size,
                                                 access.base, who)


def first_user_frame(frames):
    """The frame a summary names: the first in the program's own code,
    else the first that has a source line, else the first."""
    for frame in frames:
        if user_code(frame):
            return frame
    for frame in frames:
        if frame.file is not None:
            return frame
    return frames[0] if frames else None


def sharing_place(symbols, offender, frames):
    """Where a data sharing report is summarised: the first frame of the
    program's own code, from the access outwards (not an inlined header
    function, not the bridge's copy wrappers or the OpenMP runtime)."""
    own = [] if hidden(offender.code - 1) else symbols.chain(offender.code)
    frame = first_user_frame(own + stack(symbols, offender.code, frames))
    return frame_place(frame) if frame is not None else symbols.place(offender.code)


def reentrancy_place(symbols, record):
    """A reentrant call is about the function entered: the line of the
    hook when the function made the call itself, else its definition (a
    bridge reports the call from the caller, which may be a thread's start
    or the OpenMP runtime)."""
    entered = symbols.function(record.function)
    if entered is not None and symbols.function(record.code - 1) == entered and not hidden(record.code - 1):
        return symbols.place(record.code)
    return symbols.definition(record.function)


def sharing_report(symbols, threads, offender, access, frames, depth):
    """One report per pair: the access that stopped, with its stack, and
    one earlier access of another task, with its inline chain."""
    lines = [RULE, layout.message(layout.DATA_SHARING)]
    lines.append("  " + _access_head(offender, threads.name((offender.task, offender.thread))))
    lines += _stack_lines(stack(symbols, offender.code, frames, max(depth, 1)))
    lines.append("  " + _access_head(access, threads.name((access.task, access.thread)), previous=True))
    lines += _stack_lines(stack(symbols, access.code, [access.code], max(depth, 1)))
    location = symbols.data(offender.base)
    if location is not None:
        lines.append("  Location is global '%s' at 0x%08x" % (location, offender.base))
    lines.append("SUMMARY: vexa: data sharing %s" % sharing_place(symbols, offender, frames))
    lines.append(RULE)
    return lines


def reentrancy_report(symbols, threads, record, tasks, frames, depth):
    caller, others = tasks[-1], tasks[:-1]
    name = symbols.function(record.function) or "function"
    lines = [RULE, layout.message(layout.REENTRANT_CALL)]
    lines.append("  Call of %s (0x%08x) by %s:" % (name, record.function, threads.name(caller)))
    lines += _stack_lines(stack(symbols, record.code, frames, max(depth, 1)))
    lines.append("  %s is still running in %s" % (name, ", ".join(threads.name(t) for t in others)))
    lines.append("SUMMARY: vexa: reentrant call %s" % reentrancy_place(symbols, record))
    lines.append(RULE)
    return lines


def frame_json(frame):
    return {"pc": frame.pc, "function": frame.function, "file": frame.file, "line": frame.line,
            "column": frame.column, "path": frame.path}


def access_json(symbols, threads, access, task=None, thread=None, frames=None):
    """One side of a report as the JSON output gives it; `frames` is its
    stack, innermost first (an earlier access has its inline chain only)."""
    if access is None:
        function, file, line, column = None, None, None, None
        pc = size = address = symbol = kind = None
        chain = []
    else:
        chain = stack(symbols, access.code, frames or [access.code])
        own = symbols.chain(access.code)[0]
        function, file, line, column = own.function, own.file, own.line, own.column
        pc, size, address = access.code, access.size, access.base
        symbol = symbols.data(access.base) if access.base is not None else None
        kind = None if access.access is None else "write" if access.access else "read"
        task, thread = access.task, access.thread
    return {"access": kind, "pc": pc, "function": function, "file": file, "line": line, "column": column,
            "thread": threads.number(thread), "thread_handle": thread, "task": task, "size": size,
            "address": address, "symbol": symbol, "frames": [frame_json(f) for f in chain]}
