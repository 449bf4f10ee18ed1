"""Turns the user's filter expressions into the values of filter records.

code:   FUNCTION             the function's whole body
        [FILE:]LINE[-LINE]   the code of a range of source lines
        *ADDRESS[, SIZE]     the library's range as it stands (SIZE 0 when
                             not given; the end address counts as inside)
data:   EXPRESSION           a pointer selects what it points to (&var is
                             var), any other lvalue selects itself
        EXPRESSION, SIZE     SIZE bytes from the address or pointer
thread: EXPRESSION           a GDB thread number of the current inferior, or
                             a pthread_t value; the library records threads as
                             (task 0, pthread_self())
Values are (base, size) ranges, or (task_id, thread) identities.

The library's code ranges include their end address. "tsm" matches return
addresses against them, and a call that ends a function or a line range
returns to exactly that end address, so its range is the code's whole
length. "re" matches function entry addresses, and the end of one function
is often the entry of the next, so its range stops one byte short.
"""

import re

import gdb

_LINES = re.compile(r"^(?:(?P<file>.+):)?(?P<first>\d+)(?:\s*-\s*(?P<last>\d+))?$")


class ResolveError(Exception):
    pass


def split_size(text):
    """'expr, size' -> ('expr', 'size'); the comma must be at the top level."""
    depth = 0
    quote = None
    for i in range(len(text) - 1, -1, -1):
        c = text[i]
        if quote:
            if c == quote:
                quote = None
        elif c in "'\"":
            quote = c
        elif c in ")]}":
            depth += 1
        elif c in "([{":
            depth -= 1
        elif c == "," and depth == 0:
            return text[:i].strip(), text[i + 1:].strip()
    return text.strip(), None


def _evaluate(text):
    try:
        return gdb.parse_and_eval(text)
    except gdb.error as e:
        raise ResolveError("cannot evaluate '%s': %s" % (text, e))


def _integer(value):
    # An address as wide as the program's pointers; a sign-extended
    # pointer is not one.
    bits = 8 * gdb.lookup_type("void").pointer().sizeof
    return int(value) & ((1 << bits) - 1)


def function_block(pc):
    try:
        block = gdb.block_for_pc(pc)
    except RuntimeError:
        block = None
    while block is not None and block.function is None:
        block = block.superblock
    return block


def _function_range(text):
    value = _evaluate(text)
    kind = value.type.strip_typedefs().code
    if kind == gdb.TYPE_CODE_FUNC:
        start = int(value.address)
    elif kind == gdb.TYPE_CODE_PTR and value.type.strip_typedefs().target().strip_typedefs().code == gdb.TYPE_CODE_FUNC:
        start = _integer(value)
    else:
        raise ResolveError("'%s' is not a function; for source lines write FILE:FIRST-LAST, for an address *ADDRESS"
                           % text)
    block = function_block(start)
    if block is None:
        raise ResolveError("no debug information for '%s'; give its range as *ADDRESS, SIZE" % text)
    return [(block.start, block.end - block.start)]


def _function_of(block):
    while block is not None and block.function is None:
        block = block.superblock
    return block


def _outermost(block):
    """The block of the function that holds the code: past the functions
    inlined there."""
    while True:
        outer = _function_of(block.superblock)
        if outer is None or not (outer.start <= block.start and block.end <= outer.end):
            return block
        block = outer


def _same_file(path, symtab):
    return symtab is not None and (symtab.filename == path or symtab.fullname() == path)


def on_lines(pc, path, first, last):
    """Whether the code at pc is on the lines of the file: its own line,
    or the call site of a function inlined there."""
    sal = gdb.find_pc_line(pc)
    if _same_file(path, sal.symtab) and first <= sal.line <= last:
        return True
    block = function_block(pc)
    while block is not None:
        outer = _function_of(block.superblock)
        if outer is None or not (outer.start <= block.start and block.end <= outer.end):
            return False  # the function's own block: no call site
        symbol = block.function
        if _same_file(path, symbol.symtab) and first <= symbol.line <= last:
            return True
        block = outer


def _line_ranges(file, first, last):
    """The code of lines FIRST..LAST of a file, found row by row in the
    functions that have code there: a row belongs when its line, or the
    call site of a function inlined at it, is in the range. Code of other
    files between those rows (another function, a header's function
    inlined on another line) stays out."""
    if last < first:
        raise ResolveError("line range %d-%d is empty" % (first, last))
    spec = "%s:%d" % (file, first) if file else "%d" % first
    try:
        sals = gdb.decode_line(spec)[1]
    except gdb.error as e:
        raise ResolveError("no source line %s: %s" % (spec, e))
    if not sals or sals[0].symtab is None:
        raise ResolveError("no source line %s" % spec)
    symtab = sals[0].symtab
    path = symtab.filename
    functions = set()
    for entry in symtab.linetable():
        if first <= entry.line <= last and entry.pc:
            block = function_block(entry.pc)
            if block is not None:
                block = _outermost(block)
                functions.add((block.start, block.end))
    spans = []
    for start, end in sorted(functions):
        pc = start
        while pc < end:
            sal = gdb.find_pc_line(pc)
            if sal.last is None or sal.last < pc:
                break  # no more line information in this function
            stop = min(sal.last + 1, end)
            if on_lines(pc, path, first, last):
                if spans and spans[-1][1] >= pc:
                    spans[-1][1] = max(spans[-1][1], stop)
                else:
                    spans.append([pc, stop])
            pc = stop
    if not spans:
        raise ResolveError("no code for lines %d-%d of %s" % (first, last, symtab.filename))
    return [(start, end - start) for start, end in spans]


def code(text, detector="tsm"):
    text = text.strip()
    if text.startswith("*"):
        expr, size = split_size(text[1:])
        return [(_integer(_evaluate(expr)), int(_evaluate(size)) if size else 0)]
    lines = _LINES.match(text)
    if lines:
        first = int(lines.group("first"))
        last = int(lines.group("last")) if lines.group("last") else first
        spans = _line_ranges(lines.group("file"), first, last)
    else:
        spans = _function_range(text)
    if detector == "re":
        return [(start, max(length - 1, 0)) for start, length in spans]
    return spans


def data(text, detector="tsm"):
    expr, size_text = split_size(text)
    value = _evaluate(expr)
    kind = value.type.strip_typedefs().code
    if size_text is not None:
        size = int(_evaluate(size_text))
        if kind in (gdb.TYPE_CODE_PTR, gdb.TYPE_CODE_INT):
            return [(_integer(value), size)]
        if value.address is None:
            raise ResolveError("'%s' has no address" % expr)
        return [(_integer(value.address), size)]
    if kind == gdb.TYPE_CODE_PTR:
        target = value.type.strip_typedefs().target()
        if target.strip_typedefs().code in (gdb.TYPE_CODE_VOID, gdb.TYPE_CODE_FUNC):
            raise ResolveError("'%s' points to no sized object; write '%s, SIZE'" % (expr, expr))
        return [(_integer(value), target.sizeof)]
    if value.address is None:
        raise ResolveError("'%s' is not an object in memory; write ADDRESS, SIZE" % expr)
    return [(_integer(value.address), value.type.sizeof)]


def thread(text, detector="tsm"):
    number = int(_evaluate(text))
    inferior = gdb.selected_inferior()
    for t in inferior.threads():
        if t.num == number:
            handle = t.handle()
            if not handle:
                raise ResolveError("thread %d has no thread handle" % number)
            return [(0, int.from_bytes(handle, "little"))]
    if number < 0x10000:
        raise ResolveError("no thread %d; give a GDB thread number of the program or a pthread_t value" % number)
    return [(0, number)]


RESOLVERS = {"code": code, "data": data, "thread": thread}
