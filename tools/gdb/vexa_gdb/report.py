"""Detection reports as a person reads them.

A report names both sides of a conflict: what the stopping thread did, with
its stack, and every earlier access of another task it conflicts with, each
with the task and thread that made it and the function and file:line of the
call. The library gives code addresses as return addresses, which point just
after the hook call; one byte back lands on the call's own line.
"""

import gdb

from . import layout

RULE = "=================="
MAX_PREVIOUS = 32  # earlier accesses listed in one report; the rest are counted


class Symbols(object):
    """Symbolises code addresses; one per library load, since a dlclose and
    dlopen may move code."""

    def __init__(self):
        self.lines = {}

    def function(self, pc):
        try:
            block = gdb.block_for_pc(pc)
        except RuntimeError:
            block = None
        while block is not None and block.function is None:
            block = block.superblock
        if block is not None:
            return block.function.print_name
        text = gdb.execute("info symbol 0x%x" % pc, to_string=True).strip()
        if text.startswith("No symbol"):
            return None
        return text.split(" in section ")[0]

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
        return text.split(" in section ")[0]


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

    def name(self, identity):
        task, thread = identity
        if task == 0 and thread == 0:
            return "a task that has ended"
        found = self.by_handle.get(thread)
        if found is not None:
            return "task %d on thread %d" % (task, found.num)
        return "task %d on thread 0x%x (no longer running)" % (task, thread)


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


def user_frames(library, code, limit):
    """Return addresses of the hook's caller and its callers."""
    frame = hook_caller(code, library)
    frames = []
    if frame is None or frame.pc() != code:
        return frames
    while frame is not None and len(frames) < limit:
        frames.append(frame.pc())
        frame = frame.older()
    return frames


def _stack(symbols, code, frames):
    lines = []
    for i, pc in enumerate(frames if frames else [code]):
        text = symbols.call_site(pc)
        if i > 0 and " in ?? " in text:
            break  # the thread library's start code: nothing a person acts on
        lines.append("    #%d %s" % (i, text))
    return lines


def _access_head(access, who, previous=False):
    verb = "write" if access.access else "read"
    if not previous:
        verb = verb.capitalize()
    return "%s%s of size %d at 0x%08x by %s:" % ("Previous " if previous else "", verb, access.size,
                                                 access.base, who)


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
    lines.append("SUMMARY: vexa: data sharing %s" % symbols.place(offender.code))
    lines.append(RULE)
    return lines


def reentrancy_report(symbols, threads, record, tasks, frames):
    caller, others = tasks[-1], tasks[:-1]
    name = symbols.function(record.function) or "function"
    lines = [RULE, layout.message(layout.REENTRANT_CALL)]
    lines.append("  Call of %s (0x%08x) by %s:" % (name, record.function, threads.name(caller)))
    lines += _stack(symbols, record.code, frames)
    lines.append("  %s is still running in %s" % (name, ", ".join(threads.name(t) for t in others)))
    lines.append("SUMMARY: vexa: reentrant call %s" % symbols.place(record.code))
    lines.append(RULE)
    return lines


def sharing_key(offender, offended):
    """Reports with the same key differ only in when they happened."""
    return (layout.DATA_SHARING, offender.access, offender.code,
            tuple(sorted((a.access, a.code) for a in offended)))


def reentrancy_key(record):
    return (layout.REENTRANT_CALL, record.function, record.code)
