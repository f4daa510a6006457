"""The reference keying of lines that the native keys are tested against: sort keys of lines as
the familiar command-line options spell them, in the C locale, written plainly in Python.

A key is made of parts, one per -k (or the whole line). Each part becomes bytes that are
prefix-free (no part's bytes are a proper prefix of another's) and order-preserving, so the
concatenation of a line's parts compares as the tuple of its parts would, and complementing
one part's bytes reverses that part alone.
"""

import re

BLANKS = b" \t"
BLANKS_Z = b" \t\n"  # with NUL-ended records a newline is just another blank

_COMPLEMENT = bytes(255 - i for i in range(256))
# Digits mapped so that their order is reversed, for negative numbers.
_DIGITS_DOWN = bytes.maketrans(b"0123456789", b"9876543210")


def _number_bytes(match):
    negative, whole, frac = match[1], match[2].lstrip(b"0"), (match[3] or b"").rstrip(b"0")
    if not whole and not frac:
        return b"\x01"
    if negative:
        size = (0xFFFFFFFF - len(whole)).to_bytes(4, "big")
        return b"\x00" + size + (whole + frac).translate(_DIGITS_DOWN) + b"\xff"
    return b"\x02" + len(whole).to_bytes(4, "big") + whole + frac + b"\x00"


def _number_pattern(blanks):
    return re.compile(rb"[" + re.escape(blanks) + rb"]*(-?)(\d*)(?:\.(\d*))?")


_LINE_NUMBER = _number_pattern(BLANKS)


def number_key(text):
    """The -n key bytes of the number that text (bytes) starts with, read as on lines ending
    in a newline: leading blanks, '-', ASCII digits, one decimal point; no number reads as 0."""
    return _number_bytes(_LINE_NUMBER.match(text))


class KeyError_(ValueError):
    """A -k that cannot be read; the message is shown as it is."""


# The ordering modifiers of a key, as -k spells them and as the global options do.
MODIFIERS = "bdfghiMnRrV"


class KeyPart:
    """One -k: where its key starts and ends in a line, and how the key is read. (A plain
    class: importing dataclasses would cost every run of the command 13 ms.)"""

    __slots__ = ("start_field", "start_char", "end_field", "end_char", "skip_start_blanks",
                 "skip_end_blanks", "numeric", "reverse", "modes")

    def __init__(self, start_field, start_char, end_field, end_char, skip_start_blanks=False,
                 skip_end_blanks=False, numeric=False, reverse=False, modes=""):
        self.start_field = start_field  # 0-based
        self.start_char = start_char  # 0-based offset into the field
        self.end_field = end_field  # 0-based; None: to the end of the line
        self.end_char = end_char  # characters of end_field kept; 0: the whole field
        self.skip_start_blanks = skip_start_blanks
        self.skip_end_blanks = skip_end_blanks
        self.numeric = numeric
        self.reverse = reverse
        self.modes = modes  # the other modifiers: letters of "dfghiMRV"


_POS = re.compile(rb"^(\d+)(?:\.(\d+))?([A-Za-z]*)$")
# A field number past this cannot exist in a record (which is under 4 GiB, and needs a byte
# per field), and below the limit of the regular expressions' counted repeats, 2**32 - 1.
_FIELD_LIMIT = (1 << 32) - 2


def _with_modifiers(part, mods1, mods2, global_flags):
    """Sets the part's modifiers; a part with none of its own takes the global ones."""
    if not (mods1 or mods2):
        mods1 = mods2 = "".join(m for m in MODIFIERS if global_flags.get(m))
    mods = mods1 + mods2
    part.skip_start_blanks = "b" in mods1
    part.skip_end_blanks = "b" in mods2
    part.numeric = "n" in mods
    part.reverse = "r" in mods
    part.modes = "".join(m for m in "dfghiMRV" if m in mods)
    check_compatible(part)
    return part


def check_compatible(part):
    """At most one way of reading a key: n, g, h and M exclude each other, and each excludes
    R, V, d and i (which go together)."""
    modes = part.modes + ("n" if part.numeric else "")
    readings = sum(m in modes for m in "ghMn") + any(m in modes for m in "RVdi")
    if readings > 1:
        shown = ("d" if "d" in modes else "") + "".join(
            m for m in "fghiMnRV" if m in modes and not (m == "i" and "d" in modes))
        raise KeyError_(f"options '-{shown}' are incompatible")


def parse_key(spec, global_flags):
    """Reads POS1[,POS2] with F[.C] and the modifiers of MODIFIERS. A part with no modifier of
    its own takes the global ones (global_flags maps each modifier letter to a bool)."""
    first, comma, second = spec.partition(",")
    m1 = _POS.match(first.encode())
    if not m1 or (comma and not second):
        raise KeyError_(f"invalid field specification '{spec}'")
    field, char = min(int(m1[1]), _FIELD_LIMIT), int(m1[2] or 1)
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
        part.end_field = min(int(m2[1]), _FIELD_LIMIT) - 1
        part.end_char = int(m2[2] or 0)
        mods2 = m2[3].decode()
    for mod in mods1 + mods2:
        if mod not in MODIFIERS:
            raise KeyError_(f"stray character in field spec: invalid field specification '{spec}'")
    return _with_modifiers(part, mods1, mods2, global_flags)


def whole_line_part(global_flags):
    return _with_modifiers(KeyPart(0, 0, None, 0), "", "", global_flags)


# The flag bits of a native key field (format::LineKeyFlags).
SKIP_START_BLANKS, SKIP_END_BLANKS, NUMERIC, REVERSE = 1, 2, 4, 8
_MODE_FLAGS = {"g": 16, "h": 32, "M": 64, "V": 128, "R": 256, "f": 512, "d": 1024, "i": 2048}
# Positions are 64-bit there. No line reaches that far, so a larger number selects the same.
_POSITION_MAX = 2**64 - 1


def plan_fields(parts):
    """The parts as the native line key reads them: one tuple (start_field, start_char,
    end_field or None, end_char, flags) per part."""
    def pos(n):
        return min(n, _POSITION_MAX)

    return [(pos(p.start_field), pos(p.start_char), None if p.end_field is None else pos(p.end_field),
             pos(p.end_char),
             (SKIP_START_BLANKS if p.skip_start_blanks else 0)
             | (SKIP_END_BLANKS if p.skip_end_blanks else 0)
             | (NUMERIC if p.numeric else 0)
             | (REVERSE if p.reverse else 0)
             | sum(_MODE_FLAGS[m] for m in p.modes))
            for p in parts]


class LineKey:
    """Turns a line (without its separator) into the bytes of its key.

    Each position is found by one regular expression match, so a line costs a few calls into
    the regular expression engine per key part and no Python loop over its fields.
    """

    def __init__(self, parts, tab=None, zero_terminated=False):
        self.parts = parts
        blanks = re.escape(BLANKS_Z if zero_terminated else BLANKS)
        self._leading = re.compile(rb"[" + blanks + rb"]*")
        self._number = _number_pattern(BLANKS_Z if zero_terminated else BLANKS)
        # A field that does not exist starts and ends at the end of the line: no match. Each
        # repeat consumes at least one byte and never backtracks, so a line with fewer fields
        # than asked for fails after one pass over it, however large the field number.
        if tab is None:
            # Skipping a field skips its leading blanks, then its non-blanks.
            field = rb"[" + blanks + rb"]*+[^" + blanks + rb"]++"
            self._skip = lambda n: re.compile(rb"(?:" + field + rb"){%d}" % n)
            self._to_end = lambda n: re.compile(rb"(?:" + field + rb"){%d}" % (n + 1))
        else:
            t = re.escape(tab)
            field = rb"[^" + t + rb"]*+"
            self._skip = lambda n: re.compile(rb"(?:" + field + t + rb"){%d}" % n)
            self._to_end = lambda n: re.compile(rb"(?:" + field + t + rb"){%d}" % n + field)
        self._plans = [self._plan(p) for p in parts]

    def _plan(self, part):
        start = self._skip(part.start_field)
        if part.end_field is None:
            end = None
        elif part.end_char == 0:
            end = self._to_end(part.end_field)
        else:
            end = self._skip(part.end_field)
        return part, start, end

    def _key_text(self, line, plan):
        part, start_re, end_re = plan
        n = len(line)
        m = start_re.match(line)
        if m is None:
            start = n
        else:
            start = m.end()
            if part.skip_start_blanks:
                start = self._leading.match(line, start).end()
            start = min(start + part.start_char, n)
        if end_re is None:
            end = n
        else:
            m = end_re.match(line)
            if m is None:
                end = n
            elif part.end_char == 0:
                end = m.end()
            else:
                end = m.end()
                if part.skip_end_blanks:
                    end = self._leading.match(line, end).end()
                end = min(end + part.end_char, n)
        return line[start:end] if end > start else b""

    def number_bytes(self, text):
        return _number_bytes(self._number.match(text))

    def __call__(self, line):
        out = []
        for plan in self._plans:
            part = plan[0]
            text = self._key_text(line, plan)
            if part.numeric:
                b = self.number_bytes(text)
            else:
                b = text.replace(b"\x00", b"\x00\xff") + b"\x00\x00"
            if part.reverse:
                b = b.translate(_COMPLEMENT)
            out.append(b)
        return b"".join(out)
