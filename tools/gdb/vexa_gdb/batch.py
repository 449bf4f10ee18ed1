"""`vexa batch`: run the program to its end, print every report, and leave
GDB with a status that tells a script what happened:

  0  the program ran to its end, loaded libvexa.so, and nothing was reported
  1  vexa reported detections or library errors
  2  nothing was reported, but the program failed (non-zero exit, signal)
  3  the program never loaded libvexa.so, so nothing could be looked at
"""

import gdb

from . import layout
from . import parameters
from .session import session

STATUS_CLEAN, STATUS_REPORTED, STATUS_FAILED, STATUS_NOT_LOADED = 0, 1, 2, 3
_said = [False]  # the summary of the running batch was given early


def _count(n, what):
    return "%d %s%s" % (n, what, "" if n == 1 else "s")


def summary(counts, exit_code, signal):
    printed = counts.printed
    text = "vexa: %s (%d data sharing, %d reentrant call)" % (
        _count(counts.reported(), "report"), printed[layout.DATA_SHARING], printed[layout.REENTRANT_CALL])
    extras = []
    repeats = counts.repeats()
    if repeats:
        extras.append("%s not printed" % _count(repeats, "repeat"))
    distinct = len(counts.distinct)
    if distinct != counts.reported():
        extras.insert(0, "%s among them" % _count(distinct, "distinct report"))
    if counts.suppressed:
        extras.append("%d suppressed" % counts.suppressed)
    if counts.filtered:
        extras.append("%d hidden by thread filters" % counts.filtered)
    if counts.errors:
        extras.append(_count(counts.errors, "library error"))
    if counts.failed_commands:
        extras.append(_count(counts.failed_commands, "failed command"))
    if extras:
        text += "; " + ", ".join(extras)
    if signal is not None:
        text += "; the program stopped with %s" % signal
    elif exit_code is not None:
        text += "; the program exited with status %d" % exit_code
    return text


def status(counts, exit_code, signal):
    if counts.reported() or counts.errors:
        return STATUS_REPORTED
    if not counts.loads:
        return STATUS_NOT_LOADED
    if signal is not None or exit_code != 0:
        return STATUS_FAILED
    return STATUS_CLEAN


class Batch(gdb.Command):
    """Run the program under vexa and exit GDB with a status: vexa batch [ARGS]
ARGS replace the program's arguments as for `run` (redirections too).
Reports are printed as they happen and the program is never stopped for
them; a signal that stops the program ends the run with a backtrace.
Exit status: 0 nothing reported, 1 detections or library errors reported,
2 nothing reported but the program failed, 3 libvexa.so was never loaded."""

    def __init__(self):
        gdb.Command.__init__(self, "vexa batch", gdb.COMMAND_RUNNING)

    def invoke(self, arg, from_tty):
        stop = parameters._parameters.get("stop-on-detection")
        if stop is not None:
            stop.value = False
        session.last_exit = None
        session.last_signal = None
        session.batch_summary = self._summarise_early
        _said[0] = False
        signal = None
        try:
            gdb.execute("run " + arg if arg else "run", to_string=False)
            while gdb.selected_inferior().pid != 0:
                if session.last_signal is not None:
                    signal = session.last_signal
                    gdb.write("vexa: the program stopped with %s:\n" % signal)
                    gdb.execute("backtrace")
                    confirm = gdb.parameter("confirm")
                    gdb.execute("set confirm off")
                    gdb.execute("kill")
                    gdb.execute("set confirm %s" % ("on" if confirm else "off"))
                    break
                gdb.execute("continue")
        except (gdb.error, KeyboardInterrupt) as e:
            # Whatever went wrong (a timeout's SIGTERM reaches us as an
            # interrupt), the reports so far, their files and the summary
            # are still given.
            if isinstance(e, KeyboardInterrupt):
                gdb.write("vexa: interrupted before the program ended\n")
            else:
                gdb.write("vexa: GDB could not follow the program to its end: %s\n" % e)
            session.batch_summary = None
            session.finish(None)  # the program may be running: leave it alone
            counts = session.counts
            if not _said[0]:
                gdb.write(summary(counts, None, None) + "\n")
            gdb.execute("quit %d" % (STATUS_REPORTED if counts.reported() or counts.errors else STATUS_FAILED))
        session.batch_summary = None
        counts = session.counts
        if not counts.loads:
            gdb.write("vexa: the program never loaded libvexa.so\n")
        if not _said[0]:
            gdb.write(summary(counts, session.last_exit, signal) + "\n")
        gdb.execute("quit %d" % status(counts, session.last_exit, signal))

    @staticmethod
    def _summarise_early():
        """The program was killed under the batch (GDB itself ends on a
        timeout's SIGTERM, and never returns to it): what was reported
        still gets its files and its summary."""
        session.batch_summary = None
        _said[0] = True
        gdb.write("vexa: the run ended before the program did\n")
        session.finish(None)
        gdb.write(summary(session.counts, None, None) + "\n")
        gdb.flush()
