"""Reads and writes the communication block in the inferior.

Addresses are looked up when a library is loaded (or first met) and kept
until it is unloaded: a dlclose and dlopen, or a new run, may move them.
Casts keep the lookups working on a library without debug info.
All writes happen while the program is halted, so read-modify-write of the
pending word races with no library code.
"""

import gdb

from . import layout

SYMBOLS = ("__vexa_config", "__vexa_filter_space", "__vexa_event_reason", "__vexa_current_detection",
           "__VEXA_isGuardedCall")


def library_present():
    try:
        gdb.parse_and_eval("(unsigned long long)&__vexa_switch_to_debugger")
        return True
    except gdb.error:
        return False


class Block(object):
    def __init__(self, inferior):
        self.inferior = inferior
        self.address = {}
        for name in SYMBOLS:
            self.address[name] = int(gdb.parse_and_eval("(unsigned long long)&%s" % name))
        self.config = self.address["__vexa_config"]
        try:  # a library older than the table
            self.distinct_table = int(gdb.parse_and_eval("(unsigned long long)&__vexa_distinct"))
        except gdb.error:
            self.distinct_table = None
        breakpoint = int(gdb.parse_and_eval("(unsigned long long)&__vexa_switch_to_debugger"))
        self.path = gdb.solib_name(breakpoint)  # None when linked into the program

    def _read(self, address, size):
        return self.inferior.read_memory(address, size).tobytes()

    def write(self, address, data):
        if data:
            self.inferior.write_memory(address, data)

    def read_words(self):
        return layout.config_words(self._read(self.config, layout.CONFIG_SIZE))

    def write_word(self, index, value):
        self.write(self.config + 4 * index, layout.word(value))

    def set_pending(self, bits):
        self.write_word(layout.PENDING, self.read_words()[layout.PENDING] | bits)

    def clear_pending(self, bits):
        self.write_word(layout.PENDING, self.read_words()[layout.PENDING] & ~bits)

    def clear_commands(self):
        """Clears every command bit; the names of those that were set."""
        pending = self.read_words()[layout.PENDING]
        self.write_word(layout.PENDING, pending & ~layout.COMMAND_BITS)
        return layout.pending_names(pending)

    def reason(self):
        return layout.reason_from(self._read(self.address["__vexa_event_reason"], 4))

    def code(self):
        return int.from_bytes(self._read(self.address["__vexa_current_detection"], 8), "little")

    def guard(self):
        return int.from_bytes(self._read(self.address["__VEXA_isGuardedCall"], 4), "little")

    def set_guard(self, value):
        self.write(self.address["__VEXA_isGuardedCall"], layout.word(value))

    def filter_space(self):
        return int.from_bytes(self._read(self.address["__vexa_filter_space"], 8), "little")

    def sharing(self):
        """The record of a data sharing stop and its earlier accesses."""
        record = layout.sharing_record(self._read(self.address["__vexa_current_detection"], layout.DETECTION_SIZE))
        data = self._read(record.offended, record.count * layout.ACCESS_SIZE) if record.count else b""
        return record, layout.accesses(data, record.count)

    def reentrancy(self):
        """The record of a reentrant call stop and the tasks involved."""
        record = layout.reentrancy_record(
            self._read(self.address["__vexa_current_detection"], layout.DETECTION_SIZE))
        data = self._read(record.offenses, record.count * layout.IDENTITY_SIZE) if record.count else b""
        return record, layout.identities(data, record.count)

    def distinct(self):
        """The library's distinct detections and their counts so far."""
        if self.distinct_table is None:
            return []
        count, entries = layout.distinct_table(self._read(self.distinct_table, layout.DISTINCT_TABLE_SIZE))
        if not count or not entries:
            return []
        return layout.distinct_entries(self._read(entries, count * layout.DISTINCT_SIZE), count)
