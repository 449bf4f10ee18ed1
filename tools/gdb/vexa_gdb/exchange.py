"""Commands to the library, one exchange of stops at a time.

A command is posted by setting bits of the pending word while the program
is halted; the library answers at its next stop (3 configured, 4 alive, or
a negative reason) and a command of several steps posts its next step from
there. Pending bits merge, so two commands posted before the library runs
would get one answer between them: exactly one command is in flight, the
rest wait in the queue and are posted when it is done.

A failed command leaves its bits set, and the library would answer the same
failure at every further stop; the failure is reported with what was left
pending, and the bits are cleared.
"""

import collections

from . import layout


class Failure(Exception):
    pass


class Command(object):
    """One exchange. `title` is the command as the user gave it."""

    def __init__(self, title):
        self.title = title

    def post(self, lib):
        """Starts the exchange; False when there was nothing to send."""
        raise NotImplementedError

    def answer(self, lib, reason):
        """Handles the answer; True when done, False when a further step was
        posted. Raises Failure on a failed step."""
        raise NotImplementedError

    def failed(self, lib, reason, left):
        """The report of a failure, after the bits were cleared."""
        return 'vexa: "%s" failed: the library answered "%s" (%d); cleared what was left pending (%s)' % (
            self.title, layout.message(reason), reason, ", ".join(left) or "nothing")

    def dropped(self, why):
        return 'vexa: "%s" was not done: %s' % (self.title, why)


class Ping(Command):
    def post(self, lib):
        lib.block.set_pending(layout.PING)
        return True

    def answer(self, lib, reason):
        if reason != layout.ALIVE:
            raise Failure()
        lib.say('vexa: the library answered the ping: "%s"' % layout.message(reason), level=0)
        return True


class Reset(Command):
    def __init__(self, title, bits, names):
        Command.__init__(self, title)
        self.bits = bits
        self.names = names

    def post(self, lib):
        lib.block.set_pending(self.bits)
        return True

    def answer(self, lib, reason):
        if reason != layout.CONFIGURED:
            raise Failure()
        lib.say("vexa: reset %s" % " and ".join(self.names), level=1)
        return True


class FilterBatch(Command):
    """Allocation and record batch. The batch is all or nothing: on failure
    the library leaves every filter as it was and `count` tells how many
    records were left, the failed one included.

    `records` is a list, or a function that gives it when the batch is
    posted: records that depend on the filters installed so far must see
    the batches queued before them done.

    With `skip_failed` (the batch that restores the user's filters in a
    fresh library) a failed record is reported, dropped and the rest is
    sent again until the batch goes through."""

    def __init__(self, title, records, on_success=None, skip_failed=False):
        Command.__init__(self, title)
        self.build = records if callable(records) else None
        self.records = [] if self.build else list(records)
        self.on_success = on_success
        self.skip_failed = skip_failed
        self.step = None
        self.failed_record = None

    def post(self, lib):
        if self.build is not None:
            self.records = list(self.build())
        if not self.records:
            if self.on_success:
                self.on_success()
            return False
        self._send(lib)
        return True

    def _send(self, lib):
        if lib.capacity >= len(self.records):
            self._apply(lib, lib.block.filter_space())
        else:
            lib.block.write_word(layout.COUNT, len(self.records))
            lib.block.set_pending(layout.ALLOCATE_FILTERS)
            self.step = "allocate"

    def _apply(self, lib, buffer):
        lib.block.write(buffer, layout.pack_records(self.records))
        lib.block.write_word(layout.COUNT, len(self.records))
        lib.block.set_pending(layout.APPLY_FILTERS)
        self.step = "apply"

    def answer(self, lib, reason):
        if self.step == "allocate":
            if reason != layout.CONFIGURED:
                lib.capacity = 0  # a failed allocation leaves no buffer
                raise Failure()
            lib.capacity = len(self.records)
            self._apply(lib, lib.block.filter_space())
            return False
        if reason == layout.CONFIGURED:
            if self.on_success:
                self.on_success()
            return True
        left = lib.block.read_words()[layout.COUNT]
        index = len(self.records) - left
        self.failed_record = (index, self.records[index]) if 0 <= index < len(self.records) else None
        if self.skip_failed and self.failed_record is not None and reason != -1000:
            lib.block.clear_pending(layout.APPLY_FILTERS)
            lib.say('vexa: "%s": the library refused record %d of %d (%s): "%s" (%d); sending the rest' % (
                self.title, index + 1, len(self.records), self.records[index].describe(), layout.message(reason),
                reason), level=0)
            del self.records[index]
            if not self.records:
                return True
            self._apply(lib, lib.block.filter_space())
            return False
        raise Failure()

    def failed(self, lib, reason, left):
        text = Command.failed(self, lib, reason, left)
        if self.step == "allocate":
            return text + "; no filter buffer, no filter was changed"
        if self.failed_record is not None:
            index, record = self.failed_record
            text += "; record %d of %d (%s) failed" % (index + 1, len(self.records), record.describe())
        return text + "; no filter was changed"


class Exchange(object):
    """The queue of one process and the command in flight."""

    def __init__(self):
        self.queue = collections.deque()
        self.current = None

    def busy(self):
        return self.current is not None or bool(self.queue)

    def submit(self, command, first=False):
        if first:
            self.queue.appendleft(command)
        else:
            self.queue.append(command)

    def pump(self, lib):
        """Posts the next command; only while the program is halted."""
        while self.current is None and self.queue:
            command = self.queue.popleft()
            if command.post(lib):
                self.current = command

    def on_answer(self, lib, reason):
        """A stop whose reason answers a command; False when no command
        was in flight."""
        if self.current is None:
            return False
        command = self.current
        try:
            done = command.answer(lib, reason)
        except Failure:
            left = lib.block.clear_commands()
            if reason == -1000:
                lib.block.write_word(layout.VERSION, layout.PROTOCOL_VERSION)
                left.append("protocol version restored to 1")
            lib.say(command.failed(lib, reason, left), level=0)
            lib.counts.failed_commands += 1
            done = True
        if done:
            self.current = None
        return True

    def drop(self, lib, why):
        for command in ([self.current] if self.current else []) + list(self.queue):
            lib.say(command.dropped(why), level=0)
        self.current = None
        self.queue.clear()
