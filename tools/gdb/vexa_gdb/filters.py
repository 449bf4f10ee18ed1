"""The user's filters, kept across runs, and the records that install them.

Each filter the user names is an Entry: the expression as typed and the
values it resolved to (ranges, or a thread identity). Entries are resent to
every fresh library at its load stop, re-resolved there because addresses
of a position-independent program are known only once it runs.

Two properties of the library shape the records built here:

- Code ranges include their end address, data ranges do not. A return
  address lies just after its call, so a code range [start, end] covers a
  call that ends the range; data ranges are plain [base, base + size).
- The "re" filter lists the only functions to examine, and once the library
  holds an "re" filter it never goes back to having none: an empty list
  would mean that nothing is examined. The user's empty list means "every
  function", so it is sent as the one range that covers every address.
  Thread records for "re" are not sent at all: the first one would create
  that empty-listed filter, and the library does not read thread sets;
  the extension applies thread filters to the reports it prints instead.
"""

from . import layout

# Every address, end included; a 32-bit library keeps the low half of the
# size, which is again every address.
FULL_RANGE = (0, 0xFFFFFFFFFFFFFFFF)
DETECTORS = ("tsm", "re")
KINDS = ("code", "data", "thread")


class FilterError(Exception):
    pass


def _less(a, b):
    # The library's order of ranges: equivalent when one contains the other.
    a_end = (a[0] + a[1]) & 0xFFFFFFFFFFFFFFFF
    b_end = (b[0] + b[1]) & 0xFFFFFFFFFFFFFFFF
    return a[0] < b[0] and a_end < b_end


def equivalent(kind, a, b):
    if kind == "thread":
        return tuple(a) == tuple(b)
    return not _less(a, b) and not _less(b, a)


class Entry(object):
    """One filter as the user named it."""

    def __init__(self, detector, kind, text, values, fixed=False):
        self.detector = detector
        self.kind = kind
        self.text = text
        self.values = list(values)
        # Thread identities and partly removed entries keep their values:
        # re-resolving the text would not give the same thing.
        self.fixed = fixed

    def describe(self):
        if self.kind == "thread":
            vals = ", ".join("task %d, thread 0x%x" % v for v in self.values)
        else:
            vals = ", ".join("0x%x, %d bytes" % v for v in self.values)
        return "%s -> %s" % (self.text, vals if vals else "nothing")


def _record(detector, kind, action, value=(0, 0)):
    return layout.FilterRecord(layout.FEATURES[detector], layout.KINDS[kind], action, value[0], value[1])


def sent_to_library(detector, kind):
    return not (detector == "re" and kind == "thread")


def check_target(detector, kind):
    if detector not in DETECTORS:
        raise FilterError("unknown detector '%s': use tsm or re" % detector)
    if kind not in KINDS:
        raise FilterError("unknown filter kind '%s': use code, data or thread" % kind)
    if detector == "re" and kind == "data":
        raise FilterError("the reentrant call detector has no data filter; data filters belong to tsm")


class Filters(object):
    """Entries by (detector, kind), in the order the user gave them."""

    def __init__(self):
        self.entries = dict(((d, k), []) for d in DETECTORS for k in KINDS)
        # Ranges of suppressions, resolved at each load: tsm code and data
        # ranges kept beside the user's, and entry points of functions re
        # leaves out.
        self.suppressed = {"tsm": {"code": [], "data": []}, "re": []}

    def suppressed_values(self, detector, kind):
        return list(self.suppressed["tsm"].get(kind, [])) if detector == "tsm" else []

    def re_everything(self):
        """re's list when the user named no function: every function but
        the suppressed ones (ranges include their end)."""
        points = sorted(set(self.suppressed["re"]))
        if not points:
            return [FULL_RANGE]
        top = FULL_RANGE[1]
        spans, start = [], 0
        for point in points:
            if point > start:
                spans.append((start, point - 1 - start))
            start = point + 1
        if start <= top:
            spans.append((start, top - start))
        return spans

    def suppression_records(self, only=None):
        """Records that add the suppressions' ranges, leaving out any the
        user's filters already cover."""
        records = []
        for kind in ("code", "data"):
            if only is not None and kind != only:
                continue
            taken = self.values("tsm", kind)
            for value in self.suppressed["tsm"][kind]:
                if any(equivalent(kind, value, other) for other in taken):
                    continue
                taken.append(value)
                records.append(_record("tsm", kind, layout.ACTION_ADD, value))
        return records

    def of(self, detector, kind):
        return self.entries[(detector, kind)]

    def values(self, detector, kind):
        return [v for e in self.of(detector, kind) for v in e.values]

    def threads(self, detector):
        return set(tuple(v) for v in self.values(detector, "thread"))

    # Checks made while no library is there to judge; they follow the
    # library's own rules so that the batch sent at the next load succeeds.
    def check_add(self, entry):
        seen = self.values(entry.detector, entry.kind)
        suppressed = self.suppressed_values(entry.detector, entry.kind)
        for value in entry.values:
            for other in seen:
                if equivalent(entry.kind, value, other):
                    raise FilterError("%s overlaps a %s %s filter already set" % (entry.text, entry.detector,
                                                                                  entry.kind))
            for other in suppressed:
                if equivalent(entry.kind, value, other):
                    raise FilterError("%s overlaps a suppression's %s %s filter" % (entry.text, entry.detector,
                                                                                    entry.kind))
            seen.append(value)

    def check_remove(self, detector, kind, values, text):
        current = self.values(detector, kind)
        for value in values:
            if not any(equivalent(kind, value, other) for other in current):
                raise FilterError("%s matches no %s %s filter" % (text, detector, kind))

    # Records for one change, given the entries as they are before it.
    def add_records(self, entry):
        records = []
        if entry.detector == "re" and entry.kind == "code" and not self.of("re", "code"):
            records.append(_record("re", "code", layout.ACTION_CLEAR))  # drops the full range
        records += [_record(entry.detector, entry.kind, layout.ACTION_ADD, v) for v in entry.values]
        return records if sent_to_library(entry.detector, entry.kind) else []

    def remove_records(self, detector, kind, values):
        if not sent_to_library(detector, kind):
            return []
        records = [_record(detector, kind, layout.ACTION_REMOVE, v) for v in values]
        if detector == "re" and kind == "code" and not self._remaining(detector, kind, values):
            records += self.clear_records("re", "code")
        return records

    def clear_records(self, detector, kind):
        if not sent_to_library(detector, kind):
            return []
        records = [_record(detector, kind, layout.ACTION_CLEAR)]
        if detector == "re" and kind == "code":
            records += [_record("re", "code", layout.ACTION_ADD, v) for v in self.re_everything()]
        if detector == "tsm" and kind in ("code", "data"):
            records += [_record("tsm", kind, layout.ACTION_ADD, v) for v in self.suppressed["tsm"][kind]]
        return records

    def load_records(self, entries=None):
        """Records that give a fresh library the filters of `entries` (all
        entries by default). A fresh library has no filter, so an empty
        "re" list needs nothing."""
        records = []
        entries = entries if entries is not None else self.all()
        for entry in entries:
            if sent_to_library(entry.detector, entry.kind):
                records += [_record(entry.detector, entry.kind, layout.ACTION_ADD, v) for v in entry.values]
        records += self.suppression_records()
        if self.suppressed["re"] and not [e for e in entries if (e.detector, e.kind) == ("re", "code")]:
            records += [_record("re", "code", layout.ACTION_ADD, v) for v in self.re_everything()]
        return records

    def all(self):
        return [e for d in DETECTORS for k in KINDS for e in self.of(d, k)]

    # Changes made once the library accepted them (or at once, without one).
    def commit_add(self, entry):
        self.of(entry.detector, entry.kind).append(entry)

    def commit_remove(self, detector, kind, values):
        kept = []
        for entry in self.of(detector, kind):
            left = [v for v in entry.values if not any(equivalent(kind, v, r) for r in values)]
            if len(left) != len(entry.values):
                entry.fixed = True
                entry.values = left
            if entry.values:
                kept.append(entry)
        self.entries[(detector, kind)] = kept

    def commit_clear(self, detector, kind):
        self.entries[(detector, kind)] = []

    def _remaining(self, detector, kind, values):
        return [v for v in self.values(detector, kind) if not any(equivalent(kind, v, r) for r in values)]
