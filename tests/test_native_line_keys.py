"""The native line key against the Python reference (reference_line_keys.LineKey): the same bytes for every
line and every plan, -k specs as the command line reads them and key parts built directly."""

import os
import random

import pytest

from reference_line_keys import KeyPart, LineKey, parse_key, plan_fields

SLOW = os.environ.get("TESSARUNE_SLOW") == "1"
PLANS = 20_000 if SLOW else 2_000
LINES_PER_PLAN = 50

SEPARATORS = [b"\t", b" ", b"\x00", b"\n", b",", b":", b"-", b".", b"0", b"\\", b"]", b"^", b"\xff"]
BLANK_RUNS = [b" ", b" ", b"  ", b"\t", b" \t", b"\n", b" \n"]
# What fields are made of: signs, decimal points, leading zeros, -0, huge numbers (twice as often),
# and bytes that are no part of a number, the separators among them.
NUMBERS = [b"0", b"00", b"1", b"9", b"42", b"007", b"-0", b"-0.0", b"-.5", b"3.14", b"1.50", b"10.",
           b"-12", b"123456789012345678901234567890", b"-0000099.9900", b"-", b"+1", b".", b"1e5"]
# Fields longer than a few words are searched differently: some pieces are long.
PIECES = NUMBERS * 2 + [b"a", b"Zz", b"\xc3\xa9", b"\x00", b"\xff", b",", b":", b"\\", b"^",
                        b"w" * 70, b"-" + b"9" * 80 + b".5"]
MAX_FIELDS = 8
MAX_LINE = (MAX_FIELDS + 1) * (2 * max(map(len, PIECES)) + 2 * max(map(len, BLANK_RUNS)))
# Field numbers at least this large lie past the last field of every generated line. The
# reference builds a regular expression that repeats a field that many times, so it cannot take
# the huge numbers themselves; it gets this one instead, which selects the same.
PAST_EVERY_FIELD = MAX_LINE + 2
HUGE = [2**32 - 1, 2**32, 5_000_000_000, 2**63, 2**64 - 2, 2**64 - 1]


def small_or_huge(rng, small):
    return rng.choice(HUGE) if rng.random() < 0.05 else rng.randrange(small)


def char_offset(rng):
    return rng.choice(HUGE) if rng.random() < 0.05 else rng.choice((0, 0, 0, 1, 2, 3, 6))


def field_pair(rng):
    """A start and an end field (None: to the end of the line); the end mostly at or after the start."""
    start = small_or_huge(rng, 6)
    if rng.random() < 0.3:
        return start, None
    if rng.random() < 0.8 and start < PAST_EVERY_FIELD:
        return start, start + rng.randrange(3)
    return start, small_or_huge(rng, 6)


def random_spec(rng):
    """A -k argument: F[.C][bn][,F[.C][bn]], 1-based as the command line has it."""
    def pos(field, char_from):
        text = str(field + 1)
        if rng.random() < 0.4:
            text += "." + str(char_offset(rng) + char_from)
        return text + "".join(m for m in "bn" if rng.random() < 0.2)

    start, end = field_pair(rng)
    return pos(start, 1) + ("" if end is None else "," + pos(end, 0))


def random_part(rng):
    """A key part with any combination of flags, which no -k spelling gives (r on one part)."""
    start, end = field_pair(rng)
    return KeyPart(start, char_offset(rng), end, char_offset(rng), *(rng.random() < 0.4 for _ in range(4)))


def random_plan(rng):
    tab = None if rng.random() < 0.4 else rng.choice(SEPARATORS)
    zero_terminated = rng.random() < 0.3
    count = rng.randint(1, 3)
    if rng.random() < 0.5:
        flags = {f: rng.random() < 0.3 for f in "bnr"}
        parts = [parse_key(random_spec(rng), flags) for _ in range(count)]
    else:
        parts = [random_part(rng) for _ in range(count)]
    return parts, tab, zero_terminated


def within_lines(part):
    def cap(field):
        return field if field is None or field < PAST_EVERY_FIELD else PAST_EVERY_FIELD

    return KeyPart(cap(part.start_field), part.start_char, cap(part.end_field), part.end_char,
                   part.skip_start_blanks, part.skip_end_blanks, part.numeric, part.reverse)


def random_line(rng, tab):
    """Fields of one or two pieces, some with leading blanks, between separators or blank runs."""
    out = []
    for i in range(rng.randint(0 if rng.random() < 0.1 else 1, MAX_FIELDS)):
        if i:
            out.append(tab if tab is not None else rng.choice(BLANK_RUNS))
        if rng.random() < 0.3:
            out.append(rng.choice(BLANK_RUNS))
        out += rng.choices(PIECES, k=rng.randint(0 if tab is not None else 1, 2))
    if rng.random() < 0.2:
        out.append(tab if tab is not None else rng.choice(BLANK_RUNS))
    return b"".join(out)


def test_native_line_keys_equal_the_reference(keytest):
    seed = int(os.environ.get("TESSARUNE_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    line_key = keytest.line_key
    for _ in range(PLANS):
        parts, tab, zero_terminated = random_plan(rng)
        reference = LineKey([within_lines(p) for p in parts], tab, zero_terminated)
        fields = plan_fields(parts)
        for line in (random_line(rng, tab) for _ in range(LINES_PER_PLAN)):
            native = line_key(fields, tab, zero_terminated, line)
            if native != reference(line):
                pytest.fail(f"TESSARUNE_SEED={seed}: line {line!r}, tab {tab!r}, -z {zero_terminated}, "
                            f"fields {fields}: native {native!r}, reference {reference(line)!r}")


def test_field_numbers_beyond_64_bits_select_nothing(keytest):
    # The command line reads any length of digits; plan_fields clamps what the native plan cannot hold.
    parts = [parse_key("99999999999999999999999,2", {"b": False, "n": False, "r": False}),
             parse_key("1.99999999999999999999999", {"b": False, "n": True, "r": False})]
    assert keytest.line_key(plan_fields(parts), None, False, b"a b") == b"\x00\x00" + b"\x01"


@pytest.mark.parametrize("fields, tab, error", [
    ([], None, ValueError),
    ([(0, 0, None, 0)], None, TypeError),
    ([[0, 0, None, 0, 0]], None, TypeError),
    ([(0, 0, None, 0, 4096)], None, ValueError),
    ([(-1, 0, None, 0, 0)], None, ValueError),
    ([(0, 0, -1, 0, 0)], None, ValueError),
    ([(0, 2**64, None, 0, 0)], None, OverflowError),
    ([(0, 0, None, 1.0, 0)], None, TypeError),
    ([(0, 0, "1", 0, 0)], None, TypeError),
    ([(0, 0, None, 0, 0)], b"", ValueError),
    ([(0, 0, None, 0, 0)], b",,", ValueError),
    ([(0, 0, None, 0, 0)], ",", TypeError),
    ([(0, 0, None, 0, 0)], 44, TypeError),
])
def test_bad_plans_are_refused(keytest, fields, tab, error):
    with pytest.raises(error):
        keytest.line_key(fields, tab, False, b"a b")
