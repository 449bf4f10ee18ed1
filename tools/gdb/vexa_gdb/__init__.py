"""The vexa extension for GDB: the debugger side of libvexa.so.

Load it with `source vexa-gdb.py` or `-x vexa-gdb.py`, or let GDB auto-load
libvexa.so-gdb.py from beside the library; loading it again does nothing.
"""

import atexit

import gdb

_installed = False


def install():
    global _installed
    if _installed:
        return
    _installed = True
    from . import batch, commands, parameters
    from .session import session

    commands.install()
    parameters.install()
    batch.Batch()
    gdb.events.new_objfile.connect(session.on_new_objfile)
    gdb.events.stop.connect(session.on_stop)
    gdb.events.exited.connect(session.on_exited)
    # GDB ending on a signal (a timeout's SIGTERM) kills the program with no
    # exited event; Python's exit handlers still run.
    atexit.register(session.on_gdb_exit)
    # Loaded by the library's own auto-load file, or after the library:
    # its objfile is already there.
    session.on_new_objfile()
