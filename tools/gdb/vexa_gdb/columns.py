"""Source columns of code addresses, read from the program's DWARF line
tables (GDB 13 keeps lines but drops columns). Two accesses on one line
are told apart by their columns.

Needs pyelftools (Debian: python3-pyelftools); without it, or for code
without column information, every column is None and reports fall back on
code addresses. Nothing here asks GDB to run a command, so it is safe at
any stop.
"""

import bisect

SCAN_LIMIT = 4 << 20  # bytes of line tables decoded without address ranges

try:
    from elftools.elf.elffile import ELFFile
except ImportError:  # reports still work, without columns
    ELFFile = None


class _Image(object):
    """One ELF file's line rows, decoded a compilation unit at a time."""

    def __init__(self, path):
        self.stream = open(path, "rb")
        elf = ELFFile(self.stream)
        self.loads = [(s["p_offset"], s["p_vaddr"], s["p_filesz"]) for s in elf.iter_segments()
                      if s["p_type"] == "PT_LOAD"]
        self.dwarf = elf.get_dwarf_info() if elf.has_dwarf_info() else None
        self.aranges = None
        if self.dwarf is not None:
            try:
                self.aranges = self.dwarf.get_aranges()
            except Exception:  # malformed or absent: scan the units instead
                self.aranges = None
        self.units = {}  # CU offset -> (addresses, rows) sorted by address
        # Without address ranges every unit's rows are decoded in turn,
        # which pyelftools does slowly: large programs then go without.
        lines = elf.get_section_by_name(".debug_line")
        self.scan = lines is not None and lines["sh_size"] <= SCAN_LIMIT

    def vaddr(self, file_offset):
        for offset, vaddr, size in self.loads:
            if offset <= file_offset < offset + size:
                return file_offset - offset + vaddr
        return None

    def _rows(self, cu):
        if cu.cu_offset in self.units:
            return self.units[cu.cu_offset]
        rows = []
        program = self.dwarf.line_program_for_CU(cu)
        if program is not None:
            for entry in program.get_entries():
                state = entry.state
                if state is None:
                    continue
                rows.append((state.address, state.line, state.column, state.end_sequence))
        rows.sort(key=lambda r: r[0])
        table = ([r[0] for r in rows], rows)
        self.units[cu.cu_offset] = table
        return table

    def _find(self, table, address, line):
        addresses, rows = table
        i = bisect.bisect_right(addresses, address) - 1
        if i < 0 or rows[i][3]:
            return None
        # Several rows may share an address; prefer the one of GDB's line.
        start = i
        while start > 0 and addresses[start - 1] == addresses[i]:
            start -= 1
        candidates = rows[start:i + 1]
        for row in reversed(candidates):
            if row[1] == line and not row[3]:
                return row[2] or None
        return candidates[-1][2] or None

    def column(self, address, line):
        if self.dwarf is None:
            return None
        if self.aranges is not None:
            offset = self.aranges.cu_offset_at_addr(address)
            if offset is None:
                return None
            return self._find(self._rows(self.dwarf.get_CU_at(offset)), address, line)
        # No address ranges (clang leaves them out): decode the units in
        # turn until one covers the address.
        if not self.scan:
            return None
        for cu in self.dwarf.iter_CUs():
            table = self._rows(cu)
            addresses, rows = table
            i = bisect.bisect_right(addresses, address) - 1
            if i >= 0 and not rows[i][3]:
                return self._find(table, address, line)
        return None


class Columns(object):
    """Columns for one process: maps code addresses to files through
    /proc/PID/maps, which also gives each file's load bias."""

    def __init__(self, pid):
        self.pid = pid
        self.maps = None
        self.images = {}

    def _read_maps(self):
        self.maps = []
        try:
            with open("/proc/%d/maps" % self.pid) as f:
                for line in f:
                    fields = line.split(None, 5)
                    if len(fields) < 6 or not fields[5].startswith("/"):
                        continue
                    start, end = (int(x, 16) for x in fields[0].split("-"))
                    self.maps.append((start, end, int(fields[2], 16), fields[5].strip()))
        except (OSError, ValueError):
            pass

    def _mapping(self, address):
        for fresh in (False, True):
            if self.maps is None or fresh:
                self._read_maps()  # a library loaded since
            for start, end, offset, path in self.maps:
                if start <= address < end:
                    return offset + address - start, path
        return None, None

    def column(self, address, line):
        """The column of the code at `address` (an address inside the
        instruction, not a return address), or None."""
        if ELFFile is None or not self.pid or line is None:
            return None
        try:
            file_offset, path = self._mapping(address)
            if path is None:
                return None
            if path not in self.images:
                try:
                    self.images[path] = _Image(path)
                except Exception:
                    self.images[path] = None
            image = self.images[path]
            if image is None:
                return None
            vaddr = image.vaddr(file_offset)
            return None if vaddr is None else image.column(vaddr, line)
        except Exception:
            # Columns only refine a report; never let odd debug
            # information cost the report itself.
            return None
