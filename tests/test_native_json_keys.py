"""The C++ JSON Lines key reader against the Python keying it stands in for.

For every generated line the reader either gives exactly the bytes of
key_bytes(JsonKey(paths)(json.loads(line))) or declines the line; it must never key a line that
Python refuses. Lines that json.dumps writes from ordinary values must never be declined.
TESSARUNE_SLOW=1 runs ten times as many lines; TESSARUNE_SEED=n repeats a run.
"""

import json
import os
import random
import struct

import pytest

import tessarune
from tessarune.cli_formats import JsonKey

LINES = 1_000_000 if os.environ.get("TESSARUNE_SLOW") == "1" else 100_000

PATH_SETS = [
    ["user.id", "ts"],
    ["amount", "user.country", "missing.deeper"],
    ["note"],
    ["tags"],
    ["user"],
    ["ts.inner", "user.id.x", ""],
    [],
]

TEXT_CHARS = "aZ09 _-.:\"\\/\b\f\n\r\t\x00\x01\x1f\x7f\u00e9\u00a0\u2028\u20ac\uffff\U0001f600\U00010000\U0010ffff"


def text(r):
    return "".join(r.choice(TEXT_CHARS) for _ in range(r.randrange(12)))


def ordinary_float(r):
    kind = r.randrange(4)
    if kind == 0:
        return round(r.uniform(-1000, 1000), 2)
    if kind == 1:
        value = struct.unpack("<d", r.getrandbits(64).to_bytes(8, "little"))[0]
        return value if value == value and abs(value) != float("inf") else 0.5
    if kind == 2:
        return r.choice([0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e22, 1e23, 0.1, 9007199254740993.0])
    return r.uniform(-1, 1) * 10.0 ** r.randrange(-30, 30)


def ordinary_int(r):
    return r.choice([r.randrange(-1000, 1000000), r.randrange(-2**63, 2**63), r.randrange(2**63, 2**64),
                     r.choice([-2**63, 2**63 - 1, 2**63, 2**64 - 1, 0, 2**53 + 1])])


def scalar(r):
    return r.choice([ordinary_int, ordinary_float, text, lambda r: r.choice([True, False, None])])(r)


def ordinary_record(r):
    record = {
        "user": {"id": ordinary_int(r), "country": r.choice(["NG", "US", "DE", None, text(r)])},
        "ts": r.choice(["2026-03-13T20:03:04.840Z", text(r), scalar(r)]),
        "event": r.choice(["login", "logout"]),
        "amount": ordinary_float(r),
        "tags": [scalar(r) for _ in range(r.randrange(3))],
        "note": scalar(r),
    }
    for name in r.sample(list(record), r.randrange(3)):
        del record[name]
    if r.random() < 0.1:
        record["user"] = scalar(r)
    return record


def ordinary_value(r):
    """A whole value that keys without a path: a scalar or a list of them, nested a little."""
    if r.random() < 0.5:
        return scalar(r)
    return [ordinary_value(r) if r.random() < 0.2 else scalar(r) for _ in range(r.randrange(4))]


def dumps(r, value):
    separators = r.choice([(", ", ": "), (",", ":"), (" ,\t", " :\r\n ")])
    return json.dumps(value, ensure_ascii=r.random() < 0.5, separators=separators).encode()


# Text that Python reads but the reader may not, or that one of them refuses; spliced into lines.
ODD_TOKENS = [
    b"NaN", b"Infinity", b"-Infinity", b"1e400", b"-1e400", b"1e-400", b"-0", b"-0.0", b"-0e0", b"0E+2",
    b"18446744073709551616", b"-9223372036854775809", b"123456789012345678901234567890",
    b"-9223372036854775808", b"18446744073709551615", b"0.1000000000000000055511151231257827021181583404541015625",
    b"2.4703282292062327e-324", b"1.00000000000000011102230246251565404236316680908203125",
    b'"\\ud800"', b'"\\udc00x"', b'"\\ud800\\ud800"', b'"\\ud83d\\ude00"', b'"\\uD83D\\uDE00"', b'"a\\u0000b"',
    b'"\\u12G4"', b'"\\x"', b'"\\', b'"\xed\xa0\x80"', b'"\xc0\x80"', b'"\xf5\x80\x80\x80"', b'"\xff"', b'"\xe9"',
    b'"\x00"', b'"\x01"', b'"\x1f"', b'"\x7f"', b'"\t"', b"\x00", b"\x0b1", b"\xc2\xa01",
    b"01", b"1.", b".5", b"+1", b"0x10", b"1e", b"--1", b"tru", b"True", b"nul", b"'a'", b"[1,]", b"{}", b"[]",
    b'{"a":1,}', b'{"id": 1, "id": [2]}', b'{"id": [2], "id": 3}', b'[{"a": 1}]', b"[" * 300 + b"]" * 300,
]


def odd_line(r, line):
    """A line bent in one of the ways Python and the parser may disagree on."""
    kind = r.randrange(8)
    if kind == 0:  # an odd token in place of a value
        at = line.find(b": ", r.randrange(len(line)))
        if at >= 0:
            end = line.find(b",", at)
            end = len(line) - 1 if end < 0 else end
            return line[:at + 2] + r.choice(ODD_TOKENS) + line[end:]
        return r.choice(ODD_TOKENS)
    if kind == 1:  # a field written twice, the later one winning
        return line[:-1] + b', "user": ' + r.choice([b'{"id": 5}', b"null", b"7", b'{"x": 1}']) + b"}"
    if kind == 2:  # cut short
        return line[:r.randrange(len(line))] or b"{"
    if kind == 3:  # one byte replaced
        at = r.randrange(len(line))
        return line[:at] + bytes([r.choice(b'\x00\x09\x0b\x80\xc3\xed\xef\xff"\\{}[],:0e.-')]) + line[at + 1:]
    if kind == 4:  # a byte order mark, or something after the value
        return r.choice([b"\xef\xbb\xbf" + line, line + r.choice([b" x", b" 1", b"{}", b" \t\r", b"\x00"])])
    if kind == 5:  # a field name written with escapes: the same name to Python
        return line.replace(b'"user"', b'"\\u0075ser"').replace(b'"id"', b'"i\\u0064"')
    if kind == 6:  # an object or a list where a scalar was
        return line.replace(b'"ts": ', b'"ts": {"inner": 1}, "was": ', 1).replace(b'"note": ', b'"note": [1, ', 1)
    return r.choice(ODD_TOKENS)


def reference(paths, line):
    """The Python keying's bytes, or None where it raises (the command line reports the line)."""
    try:
        return tessarune.key_bytes(JsonKey(paths)(json.loads(line + b"\n")))
    except (ValueError, TypeError, RecursionError):
        return None


@pytest.fixture(scope="module")
def seed():
    return int(os.environ.get("TESSARUNE_SEED", random.randrange(2**32)))


def test_native_keys_match_python_or_decline(keytest, seed):
    r = random.Random(seed)
    lines = {i: [] for i in range(len(PATH_SETS))}
    for _ in range(LINES):
        which = r.randrange(len(PATH_SETS))
        paths = PATH_SETS[which]
        value = ordinary_record(r) if paths else ordinary_value(r)
        line = dumps(r, value)
        ordinary = r.random() < 0.6
        if not ordinary:
            line = odd_line(r, line)
        lines[which].append((line, ordinary))

    declined = 0
    for which, cases in lines.items():
        paths = PATH_SETS[which]
        native = keytest.json_keys(paths, [line for line, _ in cases])
        for (line, ordinary), got in zip(cases, native):
            if got is None:
                declined += 1
                assert not ordinary or reference(paths, line) is None, (
                    f"seed {seed}: an ordinary line was declined: paths {paths}, line {line!r}")
                continue
            expected = reference(paths, line)
            assert expected is not None, f"seed {seed}: keyed a line Python refuses: paths {paths}, line {line!r}"
            assert got == expected, f"seed {seed}: paths {paths}, line {line!r}"
    # Most of the bent lines are refused by both; a reader that declined everything would fail above.
    assert declined < LINES // 2, f"seed {seed}: {declined} of {LINES} lines declined"
