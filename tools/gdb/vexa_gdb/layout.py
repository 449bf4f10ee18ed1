"""The communication block of libvexa.so as the debugger reads and writes it.

Mirrors include/vexa.h: every field the library hands out is little-endian,
and every address or count is a 64-bit field zero-extended from 32 bits, so
the same offsets hold for any debugger word size. Nothing here touches GDB.
"""

import struct
from collections import namedtuple

# Words of __vexa_config.
VERSION, PENDING, ENABLE, COUNT = range(4)
PROTOCOL_VERSION = 1
CONFIG_SIZE = 16

# Bits of the pending word.
RESET_TSM = 0x1
RESET_RE = 0x2
PING = 0x20000000
APPLY_FILTERS = 0x40000000
ALLOCATE_FILTERS = 0x80000000
# Every bit the library reads as a command; bits 8..28 carry nothing.
COMMAND_BITS = 0xFF | PING | APPLY_FILTERS | ALLOCATE_FILTERS

PENDING_NAMES = {
    RESET_TSM: "reset tsm",
    RESET_RE: "reset re",
    PING: "ping",
    APPLY_FILTERS: "apply filter records",
    ALLOCATE_FILTERS: "allocate filter buffer",
}

# Bits of the enable word.
ENABLE_TSM = 0x1
ENABLE_RE = 0x2
ENABLE_DISTINCT = 0x40000000  # raise each distinct detection once, count the repeats
ENABLE_SUSPEND_MARKING = 0x80000000
ENABLE_NAMES = [(ENABLE_TSM, "tsm"), (ENABLE_RE, "re"), (ENABLE_DISTINCT, "distinct"),
                (ENABLE_SUSPEND_MARKING, "suspend-marking")]

# Bits of __VEXA_isGuardedCall.
GUARD_TASK = 0x1
GUARD_MEMORY = 0x2
GUARD_FUNCTION = 0x4
GUARD_ALL = GUARD_TASK | GUARD_MEMORY | GUARD_FUNCTION
GUARD_NAMES = [(GUARD_TASK, "task"), (GUARD_MEMORY, "memory"), (GUARD_FUNCTION, "function")]

# Event reasons.
NONE = 0
LOADED = 1
UNLOADED = 2
CONFIGURED = 3
ALIVE = 4
DATA_SHARING = 256
REENTRANT_CALL = 257

MESSAGES = {
    0: "vexa: ok",
    1: "vexa: library loaded",
    2: "vexa: library unloaded",
    3: "vexa: configuration updated",
    4: "vexa: how are you?",
    256: "vexa: data sharing detected",
    257: "vexa: reentrant call detected",
    -991: "vexa: invalid task handle",
    -992: "vexa: task nesting error",
    -993: "vexa: task handle overflow",
    -994: "vexa: filter operation failed",
    -995: "vexa: bad filter operation",
    -996: "vexa: unknown feature",
    -997: "vexa: invalid parameter",
    -998: "vexa: out of memory",
    -1000: "vexa: version mismatch",
}

# Reasons that configure() gives as the answer to a command. The hooks raise
# -991..-993 (and -998 for a task record) on their own; those are never an
# answer, whatever is pending.
ANSWERS = frozenset([CONFIGURED, ALIVE, -994, -995, -996, -997, -998, -1000])


def message(reason):
    """The library's own line for a reason."""
    if reason in MESSAGES:
        return MESSAGES[reason]
    if reason < 0:
        return "vexa: internal error %d" % (reason & 0xFFFFFFFF)
    return "vexa: event %d" % reason


def bit_names(word, names):
    return [name for bit, name in names if word & bit]


def pending_names(word):
    names = [name for bit, name in sorted(PENDING_NAMES.items()) if word & bit]
    unknown = word & COMMAND_BITS & ~sum(PENDING_NAMES)
    if unknown:
        names.append("unknown command bits 0x%x" % unknown)
    return names


# The detection record, __vexa_current_detection: 64 bytes.
DETECTION_SIZE = 64
ACCESS_SIZE = 40
IDENTITY_SIZE = 16
_ACCESS = struct.Struct("<IIQQQQ")
_IDENTITY = struct.Struct("<QQ")
_WORDS = struct.Struct("<4I")

Access = namedtuple("Access", "access size base task thread code")
Identity = namedtuple("Identity", "task thread")
SharingRecord = namedtuple("SharingRecord", "code offender count offended")
ReentrancyRecord = namedtuple("ReentrancyRecord", "code function count offenses")

READ, WRITE = 0, 1


def config_words(data):
    return list(_WORDS.unpack(bytes(data)))


def word(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def reason_from(data):
    return struct.unpack("<i", bytes(data))[0]


def sharing_record(data):
    data = bytes(data)
    code = struct.unpack_from("<Q", data, 0)[0]
    offender = Access(*_ACCESS.unpack_from(data, 8))
    count, offended = struct.unpack_from("<QQ", data, 48)
    return SharingRecord(code, offender, count, offended)


def reentrancy_record(data):
    data = bytes(data)
    code, function, count, offenses = struct.unpack_from("<QQQQ", data, 0)
    return ReentrancyRecord(code, function, count, offenses)


def accesses(data, count):
    data = bytes(data)
    return [Access(*_ACCESS.unpack_from(data, i * ACCESS_SIZE)) for i in range(count)]


def identities(data, count):
    data = bytes(data)
    return [Identity(*_IDENTITY.unpack_from(data, i * IDENTITY_SIZE)) for i in range(count)]


# __vexa_distinct: the library's table of distinct detections, each with
# how often it occurred. Data sharing: (offender code, offense code);
# reentrant call: (function, 0).
DISTINCT_TABLE_SIZE = 16
DISTINCT_SIZE = 32
_DISTINCT = struct.Struct("<IIQQQ")
Distinct = namedtuple("Distinct", "kind reserved first second seen")


def distinct_table(data):
    return struct.unpack("<QQ", bytes(data))


def distinct_entries(data, count):
    data = bytes(data)
    return [Distinct(*_DISTINCT.unpack_from(data, i * DISTINCT_SIZE)) for i in range(count)]


# Filter records, written into the buffer at __vexa_filter_space.
FILTER_SIZE = 24
_FILTER = struct.Struct("<BBBBIQQ")

FEATURE_TSM = 1
FEATURE_RE = 2
FEATURES = {"tsm": FEATURE_TSM, "re": FEATURE_RE}
FEATURE_NAMES = {FEATURE_TSM: "tsm", FEATURE_RE: "re"}

KIND_CODE = 1
KIND_DATA = 2
KIND_THREAD = 4
KINDS = {"code": KIND_CODE, "data": KIND_DATA, "thread": KIND_THREAD}
KIND_NAMES = {KIND_CODE: "code", KIND_DATA: "data", KIND_THREAD: "thread"}

ACTION_CLEAR = 1
ACTION_ADD = 2
ACTION_REMOVE = 4
ACTION_NAMES = {ACTION_CLEAR: "clear", ACTION_ADD: "add", ACTION_REMOVE: "remove"}


class FilterRecord(namedtuple("FilterRecord", "feature kind action first second")):
    """One record of a batch; first/second are a range's base and size, or a
    thread identity's task_id and thread."""

    def pack(self):
        return _FILTER.pack(self.feature, 0, self.kind, self.action, 0,
                            self.first & 0xFFFFFFFFFFFFFFFF, self.second & 0xFFFFFFFFFFFFFFFF)

    def describe(self):
        head = "%s %s %s" % (ACTION_NAMES.get(self.action, "?"), FEATURE_NAMES.get(self.feature, "?"),
                             KIND_NAMES.get(self.kind, "?"))
        if self.action == ACTION_CLEAR:
            return head
        if self.kind == KIND_THREAD:
            return "%s (task %d, thread 0x%x)" % (head, self.first, self.second)
        return "%s 0x%x, %d bytes" % (head, self.first, self.second)


def pack_records(records):
    return b"".join(r.pack() for r in records)
