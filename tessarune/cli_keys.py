"""Sort keys of lines as the familiar command-line options spell them, in the C locale.

A key is made of parts, one per -k (or the whole line). Each part becomes bytes that are
prefix-free (no part's bytes are a proper prefix of another's) and order-preserving, so the
concatenation of a line's parts compares as the tuple of its parts would, and complementing
one part's bytes reverses that part alone.
"""

import re
from dataclasses import dataclass

BLANKS = b" \t"
BLANKS_Z = b" \t\n"  # with NUL-ended records a newline is just another blank

_COMPLEMENT = bytes(255 - i for i in range(256))
# Digits mapped so that their order is reversed, for negative numbers.
_DIGITS_DOWN = bytes.maketrans(b"0123456789", b"9876543210")


class KeyError_(ValueError):
    """A -k that cannot be read; the message is shown as it is."""


@dataclass
class KeyPart:
    start_field: int  # 0-based
    start_char: int  # 0-based offset into the field
    end_field: int | None  # 0-based; None: to the end of the line
    end_char: int  # characters of end_field kept; 0: the whole field
    skip_start_blanks: bool = False
    skip_end_blanks: bool = False
    numeric: bool = False
    reverse: bool = False


_POS = re.compile(rb"^(\d+)(?:\.(\d+))?([A-Za-z]*)$")


def parse_key(spec, global_flags):
    """Reads POS1[,POS2] with F[.C] and the modifiers b and n. A part with no modifier of its
    own takes the global ones (-b, -n, -r)."""
    first, _, second = spec.partition(",")
    m1 = _POS.match(first.encode())
    if not m1:
        raise KeyError_(f"invalid field specification '{spec}'")
    field, char = int(m1[1]), int(m1[2] or 1)
    if field == 0:
        raise KeyError_(f"invalid field specification '{spec}': fields count from 1")
    if char == 0:
        raise KeyError_(f"invalid field specification '{spec}': characters count from 1")
    mods1 = m1[3].decode()
    part = KeyPart(field - 1, char - 1, None, 0)
    mods2 = ""
    if second:
        m2 = _POS.match(second.encode())
        if not m2:
            raise KeyError_(f"invalid field specification '{spec}'")
        if int(m2[1]) == 0:
            raise KeyError_(f"invalid field specification '{spec}': fields count from 1")
        part.end_field = int(m2[1]) - 1
        part.end_char = int(m2[2] or 0)
        mods2 = m2[3].decode()
    for mod in mods1 + mods2:
        if mod not in "bn":
            raise KeyError_(f"key modifier '{mod}' is not supported in -k {spec}")
    part.skip_start_blanks = "b" in mods1
    part.skip_end_blanks = "b" in mods2
    part.numeric = "n" in mods1 + mods2
    if not (mods1 or mods2):
        part.skip_start_blanks = part.skip_end_blanks = global_flags["b"]
        part.numeric = global_flags["n"]
        part.reverse = global_flags["r"]
    return part


def whole_line_part(global_flags):
    return KeyPart(0, 0, None, 0, global_flags["b"], global_flags["b"], global_flags["n"],
                   global_flags["r"])


class LineKey:
    """Turns a line (without its separator) into the bytes of its key."""

    def __init__(self, parts, tab=None, zero_terminated=False):
        self.parts = parts
        self.tab = tab
        blanks = BLANKS_Z if zero_terminated else BLANKS
        self.blanks = blanks
        cls = re.escape(blanks)
        # A field begins at a blank that follows a non-blank.
        self._boundary = re.compile(rb"(?<=[^" + cls + rb"])[" + cls + rb"]")
        self._leading = re.compile(rb"[" + cls + rb"]*")
        self._number = re.compile(rb"[" + cls + rb"]*(-?)(\d*)(?:\.(\d*))?")
        self._max_field = max(
            max(p.start_field, p.end_field if p.end_field is not None else 0) for p in parts)

    def _field_starts(self, line):
        """Start of each field up to the last one a part needs, and the line's end after."""
        starts = [0]
        limit = self._max_field + 1
        if self.tab is not None:
            pos = -1
            while len(starts) < limit:
                pos = line.find(self.tab, pos + 1)
                if pos < 0:
                    break
                starts.append(pos + 1)
        else:
            for m in self._boundary.finditer(line):
                if len(starts) >= limit:
                    break
                starts.append(m.start())
        return starts

    def _field_end(self, line, starts, field):
        """Where field ends: before the next separator, or after its run of non-blanks."""
        if field + 1 < len(starts):
            return starts[field + 1] - (1 if self.tab is not None else 0)
        if self.tab is not None:
            pos = line.find(self.tab, starts[field])
            return len(line) if pos < 0 else pos
        m = self._boundary.search(line, starts[field] + 1)
        return len(line) if m is None else m.start()

    def _skip_blanks(self, line, pos):
        return self._leading.match(line, pos).end()

    def extract(self, line, part, starts):
        n = len(line)
        if part.start_field < len(starts):
            start = starts[part.start_field]
            if part.skip_start_blanks:
                start = self._skip_blanks(line, start)
            start = min(start + part.start_char, n)
        else:
            start = n
        if part.end_field is None:
            end = n
        elif part.end_field < len(starts):
            fs = starts[part.end_field]
            if part.end_char == 0:
                end = self._field_end(line, starts, part.end_field)
            else:
                if part.skip_end_blanks:
                    fs = self._skip_blanks(line, fs)
                end = min(fs + part.end_char, n)
        else:
            end = n
        return line[start:end] if end > start else b""

    def number_bytes(self, text):
        m = self._number.match(text)
        negative, whole, frac = m[1], m[2].lstrip(b"0"), (m[3] or b"").rstrip(b"0")
        if not whole and not frac:
            return b"\x01"
        if negative:
            size = (0xFFFFFFFF - len(whole)).to_bytes(4, "big")
            return b"\x00" + size + (whole + frac).translate(_DIGITS_DOWN) + b"\xff"
        return b"\x02" + len(whole).to_bytes(4, "big") + whole + frac + b"\x00"

    def __call__(self, line):
        starts = self._field_starts(line)
        out = []
        for part in self.parts:
            text = self.extract(line, part, starts)
            if part.numeric:
                b = self.number_bytes(text)
            else:
                b = text.replace(b"\x00", b"\x00\xff") + b"\x00\x00"
            if part.reverse:
                b = b.translate(_COMPLEMENT)
            out.append(b)
        return b"".join(out)
