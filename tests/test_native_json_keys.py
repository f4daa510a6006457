"""The C++ JSON Lines key reader against the Python keying it stands in for.

For every generated line the reader gives exactly the bytes of
key_bytes(JsonKey(paths)(json.loads(line + b"\n"))), or refuses the line where Python does:
with Python's own message where the keying refuses, with "not JSON: ..." where json.loads
does. The one allowed difference: the reader refuses nesting deeper than 10000, which Python
reads as far as its stack goes. Each line is also tried after a UTF-8 byte order mark, which
Python reads as an encoding signature and which sends every line through the reader's exact
parser rather than its fast one. TESSARUNE_SLOW=1 runs ten times as many lines;
TESSARUNE_SEED=n repeats a run.
"""

import codecs
import json
import os
import random
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tessarune
from reference_formats import JsonKey

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


MAX_DEPTH = 10000


class Refused:
    """Python's refusal of a line: by json.loads (not JSON) or by the keying, with its message."""

    def __init__(self, by_loads, message):
        self.by_loads, self.message = by_loads, message


def reference(paths, line):
    """The Python keying's bytes, or how it refuses the line."""
    try:
        value = json.loads(line + b"\n")
    except (ValueError, RecursionError) as e:  # UnicodeDecodeError is a ValueError
        return Refused(True, str(e))
    try:
        return tessarune.key_bytes(JsonKey(paths)(value))
    except (ValueError, TypeError, RecursionError) as e:
        return Refused(False, str(e))


def check_both_ways(keytest, paths, lines, context=""):
    """Every line, and every line after a byte order mark, keyed by one reader in turn."""
    marked = [codecs.BOM_UTF8 + line for line in lines]
    for line, got in zip(lines + marked, keytest.json_keys(paths, lines + marked)):
        check_agrees(paths, line, got, context)


def check_agrees(paths, line, got, context=""):
    """The native result `got` (key bytes or a message) against Python's for the line."""
    where = f"{context}paths {paths}, line {line[:300]!r}"
    if isinstance(got, str) and got.startswith("not JSON: nested more than"):
        assert line.count(b"[") + line.count(b"{") > MAX_DEPTH, f"{where}: {got}"
        return
    expected = reference(paths, line)
    if isinstance(expected, Refused):
        assert isinstance(got, str), f"{where}: keyed a line Python refuses ({expected.message})"
        if expected.by_loads:
            assert got.startswith("not JSON: "), f"{where}: {got!r}, Python: {expected.message}"
        else:
            assert got == expected.message, where
    else:
        assert got == expected, f"{where}: native {got!r}"


@pytest.fixture(scope="module")
def seed():
    return int(os.environ.get("TESSARUNE_SEED", random.randrange(2**32)))


def test_native_keys_match_python(keytest, seed):
    r = random.Random(seed)
    lines = {i: [] for i in range(len(PATH_SETS))}
    for _ in range(LINES):
        which = r.randrange(len(PATH_SETS))
        paths = PATH_SETS[which]
        value = ordinary_record(r) if paths else ordinary_value(r)
        line = dumps(r, value)
        if r.random() < 0.4:
            line = odd_line(r, line)
        lines[which].append(line)

    for which, cases in lines.items():
        check_both_ways(keytest, PATH_SETS[which], cases, f"seed {seed}: ")


def nested(depth, inner=b"1"):
    return b"[" * depth + inner + b"]" * depth


def nested_objects(depth):
    return b'{"user": ' * depth + b"1" + b"}" * depth


# Lines at the edges of what Python reads: each is checked against every path set.
EDGE_LINES = [
    # ints past 64 bits, up to and past Python's 4300 digits for int()
    b"18446744073709551616", b"-18446744073709551617", b"340282366920938463463374607431768211456",
    b"1" + b"0" * 38, b"-" + b"9" * 39, b"1" + b"0" * 308, b"-" + b"1" + b"0" * 308, b"9" * 4300, b"-" + b"9" * 4300,
    b"9" * 4301, b'{"user": {"id": ' + b"7" * 4301 + b'}, "ts": 1}', b'{"user": {"id": -' + b"3" * 700 + b"}}",
    # floats Python rounds to infinity or zero, and the nearest of each
    b"1e400", b"-1e400", b"1e-400", b"-1e-400", b"2e-324", b"3e-324", b"1.7976931348623158e308",
    b"1.7976931348623159e308", b"-1.7976931348623159e308", b"0e99999999999999999999", b"1e99999999999999999999",
    b"0." + b"0" * 400 + b"1e400", b"1" + b"0" * 400 + b".5e-400", b"[NaN, Infinity, -Infinity, -NaN]",
    b'{"amount": NaN, "ts": -Infinity}', b"[1E+2, 1e-0, -0.0e-5]",
    # surrogates: escaped pairs join, anything else stays apart; encoded ones pass as bytes
    b'"\\ud800"', b'"\\udc00\\ud800"', b'"\\ud800\\u0041"', b'"\\ud83d\\ude00\\ud83d"', b'"\\ud800\\ud800\\udc00"',
    b'"\xed\xa0\xbd\\ude00"', b'"\xed\xa0\x80"', b'"\xed\xa0\xbd\xed\xb8\x80"', b'"\xed\xa0"', b'{"\\ud800": 1, "ts": "\\udfff"}',
    b'"\\ud800\\uZZZZ"', b'"\\ud800\\', b'["\\ud800", {"a": 1}]',
    # bytes that are not UTF-8, and byte order marks
    b'"\xff"', b'"\xc0\x80"', b'"\xf4\x90\x80\x80"', b'"\xe9t\xe9"', b"\xef\xbb\xbf1", b"\xef\xbb\xbf\xef\xbb\xbf1",
    b'\xef\xbb\xbf{"ts": 2}', b"\xff\xfe1\x00", b"\xfe\xff\x001", b"\x001\x00", b"1\x00\x00", b"\x00\x00\x001\x00\x00\x00",
    "[1, \"\u00e9\ud800\"]\n".encode("utf-16-be", "surrogatepass")[:-1],
    codecs.BOM_UTF16_BE + '{"ts": "\U0001f600"}\n'.encode("utf-16-be")[:-1],
    codecs.BOM_UTF32_LE + "[2]".encode("utf-32-le"), "[2]".encode("utf-32-be") + b"\x00\x00\x00",
    # nesting: the key walk's 256 levels, the reader's 10000, and far past Python's stack
    nested(256), nested(257), nested(300, b"{}"), nested(MAX_DEPTH), nested(MAX_DEPTH + 1), nested(100_000),
    b'{"ts": 1, "deep": ' + nested(5000) + b"}", b'{"ts": 1, "deep": ' + nested(100_000) + b"}",
    nested_objects(300), nested_objects(100_000), b"[" * 100_000, b"{" * 100_000,
    # refused by the keying, in the order Python finds the faults
    b'{"user": {"id": [1]}, "ts": {"a": 1}}', b'{"ts": {"a": 1}, "user": {"id": [1]}}', b'[1, {"a": 1}, ' + nested(300) + b"]",
    b'[1, ' + nested(300) + b', {"a": 1}]', b'{"note": 1, "note": [1]}', b'{"user": 1, "user": {"id": []}}',
]


def test_edge_lines_match_python(keytest):
    for paths in PATH_SETS:
        check_both_ways(keytest, paths, EDGE_LINES)


def test_refusals_are_worded(keytest):
    """The messages the command prints for a refused line."""
    assert keytest.json_key([], b'{"a": 1}') == "an object has no order of its own: name fields with -k"
    assert keytest.json_key(["user.id", "ts"], b'{"user": {"id": [1]}}') == (
        "the value of user.id is a list, which is no sort key")
    assert keytest.json_key(["ts"], b'{"ts": {}}') == "the value of ts is an object, which is no sort key"
    assert keytest.json_key(["ts"], b'{"ts": 1,}').startswith("not JSON: ")
    assert keytest.json_key([], nested(100_000)) == "not JSON: nested more than 10000 deep at column 10001"


def surrogate_text():
    return st.lists(st.one_of(st.characters(), st.integers(0xD800, 0xDFFF).map(chr)), max_size=6).map("".join)


def big_int():
    return st.one_of(st.integers(), st.integers(-(10**400), 10**400), st.integers(1, 4300).map(lambda n: 10**n - 1))


SCALARS = st.one_of(st.none(), st.booleans(), big_int(), st.floats(), surrogate_text())
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.one_of(st.lists(inner, max_size=4),
                            st.dictionaries(st.sampled_from(["user", "id", "ts", "note", ""]) | surrogate_text(), inner,
                                            max_size=4)),
    max_leaves=10)
PATHS = st.sampled_from(PATH_SETS + [["user.id", "user.ts", "id"], ["", ".", "user."]])


def encode(value, ensure_ascii, encoding):
    """A line of `value` as the reading would hand it over: the bytes before its newline. For
    the wide encodings the newline is the last byte, so that the line decodes whole."""
    text = json.dumps(value, ensure_ascii=ensure_ascii, allow_nan=True)
    if encoding in ("utf-8", "utf-8-sig"):
        bom = codecs.BOM_UTF8 if encoding == "utf-8-sig" else b""
        return bom + text.encode("utf-8", "surrogatepass")
    return (text + "\n").encode(encoding, "surrogatepass")[:-1]


@settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
@given(value=VALUES, paths=PATHS, ensure_ascii=st.booleans(),
       encoding=st.sampled_from(["utf-8", "utf-8", "utf-8-sig", "utf-16-be", "utf-16-le", "utf-16", "utf-32-be",
                                 "utf-32"]))
def test_dumped_values_match_python(keytest, value, paths, ensure_ascii, encoding):
    check_both_ways(keytest, paths, [encode(value, ensure_ascii, encoding)])


TOKENS = [b"[", b"]", b"{", b"}", b'"', b"\\", b"u", b"d800", b"dc00", b"00e9", b":", b",", b" ", b"1", b"-", b"e", b"E",
          b".", b"0", b"+", b"NaN", b"Infinity", b"true", b"null", b'"ts"', b'"user"', b'"id"', b"\xed\xa0\x80",
          b"\xc3\xa9", b"\xff", b"\x00", b"\x1f", b"\t", b"\xef\xbb\xbf", b"n", b"/", b"9" * 25]


@settings(max_examples=1500, suppress_health_check=[HealthCheck.too_slow])
@given(parts=st.lists(st.sampled_from(TOKENS), min_size=1, max_size=24), paths=PATHS)
def test_token_soup_matches_python(keytest, parts, paths):
    check_both_ways(keytest, paths, [b"".join(parts)])
