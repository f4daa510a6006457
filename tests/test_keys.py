"""Key bytes: exact formats, order against a Python reference, the walk's rules and failures."""

import collections
import datetime
import enum
import gc
import math
import operator
import re
import struct
import sys
import tracemalloc
import uuid
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

KIND_MESSAGE = "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not "
NESTING_MESSAGE = "a sort key is nested more than 256 deep"


def nan_with_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


NANS = [nan_with_bits(b) for b in (0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFFFFFFFFFFFFFFF)]
DBL_MAX_INT = int(sys.float_info.max)


def h(text):
    return bytes.fromhex(text)


WORKED_EXAMPLES = [
    (None, h("10")),
    (0, h("20 80 00 00 00 00 00 00 00 00")),
    (0.0, h("20 80 00 00 00 00 00 00 00 00")),
    (-0.0, h("20 80 00 00 00 00 00 00 00 00")),
    (False, h("20 80 00 00 00 00 00 00 00 00")),
    (1, h("20 BF F0 00 00 00 00 00 00 00")),
    (1.0, h("20 BF F0 00 00 00 00 00 00 00")),
    (True, h("20 BF F0 00 00 00 00 00 00 00")),
    (-1, h("20 40 0F FF FF FF FF FF FF 00")),
    (0.5, h("20 BF E0 00 00 00 00 00 00 00")),
    (2**53 + 1, h("20 C3 40 00 00 00 00 00 00 01 01")),
    (2**63 - 1, h("20 C3 DF FF FF FF FF FF FF 02 03 FF")),
    (-(2**63) - 1, h("20 3C 1F FF FF FF FF FF FE 02 07 FF")),
    (math.inf, h("20 FF F0 00 00 00 00 00 00 00")),
    (-math.inf, h("20 00 0F FF FF FF FF FF FF 00")),
    *[(nan, h("20 FF F8 00 00 00 00 00 00 00")) for nan in NANS],
    (2**1024, h("20 FF EF FF FF FF FF FF FF 81 01") + bytes(128)),
    (-(2**1024), h("20 00 0F FF FF FF FF FF FF 01 7E FE") + b"\xff" * 128),
    ("a", h("30 61 00 00")),
    ("a\0b", h("30 61 00 FF 62 00 00")),
    ("", h("30 00 00")),
    ("\ud800", h("30 ED A0 80 00 00")),
    (b"\0", h("40 00 FF 00 00")),
    ((), h("50 00")),
    (((),), h("50 50 00 00")),
    ((1,), h("50 20 BF F0 00 00 00 00 00 00 00 00")),
    ((1, "x"), h("50 20 BF F0 00 00 00 00 00 00 00 30 78 00 00 00")),
    ([None], h("60 10 00")),
]


@pytest.mark.parametrize(("key", "expected"), WORKED_EXAMPLES, ids=lambda v: repr(v)[:40])
def test_worked_examples(keytest, key, expected):
    assert keytest.encode_key(key) == expected


# Python's order where it has one; otherwise None < numbers < str < bytes < tuple < list, and
# every NaN is one value above all other numbers.
def kind(v):
    for rank, types in enumerate((type(None), (int, float), str, bytes, tuple, list)):
        if isinstance(v, types):
            return rank
    raise TypeError(type(v))


def ref_cmp(a, b):
    ka, kb = kind(a), kind(b)
    if ka != kb:
        return -1 if ka < kb else 1
    if ka == 1:
        na, nb = a != a, b != b
        if na or nb:
            return (na > nb) - (na < nb)
    if ka in (1, 2, 3):
        return (a > b) - (a < b)
    if ka >= 4:
        for x, y in zip(a, b):
            if c := ref_cmp(x, y):
                return c
        return (len(a) > len(b)) - (len(a) < len(b))
    return 0


def assert_order_matches(keytest, keys):
    encoded = [keytest.encode_key(k) for k in keys]
    for a, ea in zip(keys, encoded):
        for b, eb in zip(keys, encoded):
            assert (ea > eb) - (ea < eb) == ref_cmp(a, b), f"{a!r} vs {b!r}: {ea.hex()} vs {eb.hex()}"


INT_CENTRES = [0, 2**53, 2**63, 2**64, 2**127, 2**128, 2**971, DBL_MAX_INT, DBL_MAX_INT + 2**970,
               2**1024, 2**2032, 2**2040, 2**5000]
offsets = st.one_of(st.integers(-4, 4), st.integers(-(2**80), 2**80),
                    st.integers(0, 1030).flatmap(lambda k: st.sampled_from([2**k, -(2**k)])))
ints = st.one_of(st.integers(), st.builds(lambda c, d, neg: -(c + d) if neg else c + d,
                                          st.sampled_from(INT_CENTRES), offsets, st.booleans()))


def float_near(centre, steps, negative):
    x = float(centre)
    for _ in range(abs(steps)):
        x = math.nextafter(x, math.inf if steps > 0 else -math.inf)
    return -x if negative else x


floats = st.one_of(st.floats(), st.sampled_from(NANS + [-0.0, math.inf, -math.inf]),
                   st.builds(float_near, st.sampled_from([c for c in INT_CENTRES if c <= DBL_MAX_INT]),
                             st.integers(-2, 2), st.booleans()))
numbers = st.one_of(ints, floats, st.booleans())
texts = st.text(st.one_of(st.characters(exclude_categories=()), st.sampled_from("\0\ud800\udfff\uffff\U0010ffff")),
                max_size=6)
binaries = st.one_of(st.binary(max_size=6), st.lists(st.sampled_from([b"\0", b"\xff", b"a", b"\x01"])).map(b"".join))
scalars = st.one_of(st.none(), numbers, texts, binaries)
keys = st.recursive(scalars, lambda inner: st.one_of(st.lists(inner, max_size=4),
                                                     st.lists(inner, max_size=4).map(tuple)), max_leaves=12)
property_settings = settings(max_examples=400, deadline=None, print_blob=True,
                             suppress_health_check=[HealthCheck.too_slow])


@property_settings
@given(st.lists(numbers, min_size=2, max_size=10))
def test_number_order_is_exact(keytest, values):
    assert_order_matches(keytest, values)


@property_settings
@given(st.lists(keys, min_size=2, max_size=8))
def test_nested_key_order_matches_python(keytest, values):
    assert_order_matches(keytest, values)


@pytest.mark.parametrize("group", [
    [1, 1.0, True, 1.0000],
    [2**63, 2.0**63],
    [2**64, 2.0**64],
    [-(2**63), -(2.0**63)],
    [2**100, 2.0**100],
    NANS,
])
def test_equal_numbers_have_equal_keys(keytest, group):
    assert len({keytest.encode_key(v) for v in group}) == 1


def test_named_order_chain(keytest):
    chain = [None, -math.inf, -(2**5000), -(2**1024), -sys.float_info.max, -(2.0**63) - 2048, -(2**63) - 1,
             -(2.0**63), 0, 2.0**53, 2**53 + 1, 2.0**53 + 2, 2**63 - 1, 2.0**63, 1e308, 10**400, 2**5000,
             math.inf, NANS[0], "", "a", "a\0", "a\x01", "\ud800", "\ue000", b"", b"\0", (), (9,), [], [None]]
    encoded = [keytest.encode_key(v) for v in chain]
    assert encoded == sorted(encoded) and len(set(encoded)) == len(chain)


class Color(enum.IntEnum):
    RED = 3


Pair = collections.namedtuple("Pair", "number text")


class Stubborn(int):
    """An int whose methods all fail: its key must come from its value alone."""

    def bit_length(self):
        raise AssertionError("bit_length called")

    def to_bytes(self, *args, **kwargs):
        raise AssertionError("to_bytes called")

    def __index__(self):
        raise AssertionError("__index__ called")


class Holds:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, (BaseException, type)):
            raise self.result
        return self.result


class OddStr(str):
    def encode(self, *args, **kwargs):
        raise AssertionError("encode called")


class OddFloat(float):
    def __float__(self):
        raise AssertionError("__float__ called")

    def __index__(self):
        return 99


class OddList(list):
    def __len__(self):
        return 0

    def __iter__(self):
        return iter(())

    def __getitem__(self, i):
        raise AssertionError("__getitem__ called")


@pytest.mark.parametrize(("odd", "plain"), [
    (Color.RED, 3),
    (Pair(1, "a"), (1, "a")),
    (Stubborn(5), 5),
    (Stubborn(2**70), 2**70),
    (Stubborn(-(2**1100)), -(2**1100)),
    (OddStr("x\ud800y"), "x\ud800y"),
    (OddFloat(1.5), 1.5),
    (OddList([1, "b"]), [1, "b"]),
    (Holds(7), 7),
    (Holds(2**100 + 1), 2**100 + 1),
    (Holds(-(2**2100)), -(2**2100)),
    ((Holds(7), [Holds(8)]), (7, [8])),
], ids=lambda v: type(v).__name__)
def test_subclasses_and_index_objects_key_as_their_value(keytest, odd, plain):
    assert keytest.encode_key(odd) == keytest.encode_key(plain)


def test_numpy_scalars(keytest):
    np = pytest.importorskip("numpy")
    assert keytest.encode_key(np.int64(-5)) == keytest.encode_key(-5)
    assert keytest.encode_key(np.uint64(2**64 - 1)) == keytest.encode_key(2**64 - 1)
    assert keytest.encode_key(np.float64(0.1)) == keytest.encode_key(0.1)
    assert keytest.encode_key(np.str_("a\0")) == keytest.encode_key("a\0")
    assert keytest.encode_key(np.bytes_(b"a\0")) == keytest.encode_key(b"a\0")
    for scalar in (np.float32(1.5), np.bool_(True)):
        with pytest.raises(TypeError) as info:
            keytest.encode_key(scalar)
        assert str(info.value) == KIND_MESSAGE + type(scalar).__name__


def nested(levels, innermost=None, kinds=(tuple,)):
    """`levels` containers, kinds[i % len(kinds)] at level i counted from the inside."""
    value = innermost
    for i in range(levels):
        value = kinds[i % len(kinds)]() if value is None else kinds[i % len(kinds)]([value])
    return value


def nested_tags(levels, kinds):
    return bytes(0x50 if kinds[i % len(kinds)] is tuple else 0x60 for i in reversed(range(levels)))


@pytest.mark.parametrize("kinds", [(tuple,), (list,), (tuple, list)], ids=["tuples", "lists", "mixed"])
def test_nesting_limit(keytest, kinds):
    deepest = nested(256, kinds=kinds)
    assert keytest.encode_key(deepest) == nested_tags(256, kinds) + bytes(256)
    # A scalar at the deepest level is fine; only containers there are refused.
    assert keytest.encode_key(nested(255, (1,), kinds)) == (
        nested_tags(255, kinds) + b"\x50" + keytest.encode_key(1) + bytes(256))
    for too_deep in (nested(257, kinds=kinds), nested(256, (1,), kinds), [deepest], (deepest,)):
        with pytest.raises(RecursionError) as info:
            keytest.encode_key(too_deep)
        assert str(info.value) == NESTING_MESSAGE
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError, match=re.escape(NESTING_MESSAGE)):
        keytest.encode_key(loop)


class Mutating:
    """Runs an action on the enclosing list while its own key is being built."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 7


@pytest.mark.parametrize(("action", "expected"), [
    (lambda lst: lst.__delitem__(slice(2, None)), [7, 1]),
    (lambda lst: lst.extend([8, 9]), [7, 1, 2]),
    (lambda lst: lst.__setitem__(1, "z"), [7, "z", 2]),
    (lambda lst: lst.clear(), [7]),
], ids=["shrunk", "grown", "replaced", "cleared"])
def test_list_changed_during_its_walk(keytest, action, expected):
    lst = [None, 1, 2]
    lst[0] = Mutating(lambda: action(lst))
    assert keytest.encode_key(lst) == keytest.encode_key(expected)


class SelfIndexed:
    pass


@pytest.mark.parametrize(("bad", "name"), [
    ({}, "dict"), (set(), "set"), (1j, "complex"), (bytearray(b"a"), "bytearray"), (memoryview(b"a"), "memoryview"), (object(), "object"),
    ((1, ["a", {}]), "dict"), (SelfIndexed(), "SelfIndexed"),
])
def test_unkeyable_objects_raise_type_error(keytest, bad, name):
    if isinstance(bad, SelfIndexed):
        bad.__index__ = lambda: 3  # an instance attribute does not count
    with pytest.raises(TypeError) as info:
        keytest.encode_key(bad)
    assert str(info.value) == KIND_MESSAGE + name


def test_index_failures_pass_through(keytest, monkeypatch):
    error = ValueError("no index")
    with pytest.raises(ValueError) as info:
        keytest.encode_key([1, Holds(error)])
    assert info.value is error
    with pytest.raises(TypeError, match=r"__index__ returned non-int \(type str\)"):
        keytest.encode_key(Holds("7"))

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__index__":
                raise RuntimeError("lookup failed")
            return super().__getattribute__(name)

    with pytest.raises(RuntimeError, match="lookup failed"):
        keytest.encode_key(Meta("Guarded", (), {})())



class PlusTwo(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(hours=2)


def leak_cases():
    shared_big = 2**200 + 3
    return shared_big, [2**100, -(2**100), -(2**3000), "a\ud800", OddStr("\udfff"), Holds(shared_big),
                        Holds(ValueError), Holds("7"), [Holds(shared_big), 1, "b"], (1, [2, {}]),
                        nested(257), Decimal("-2.5"), [Mutating(lambda: None), 2.5], Fraction(-7, 3),
                        Fraction(2**5000), Decimal("1e5000"), datetime.datetime(2020, 1, 1, tzinfo=PlusTwo()),
                        datetime.time(1, tzinfo=datetime.timezone.utc), uuid.UUID(int=7)]


def encode_ignoring_errors(keytest, values):
    for v in values:
        try:
            keytest.encode_key(v)
        except (TypeError, ValueError, RecursionError):
            pass


def test_walk_releases_every_reference(keytest):
    shared_big, cases = leak_cases()
    objects = [shared_big, *cases, *cases[8]]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(50):
        encode_ignoring_errors(keytest, cases)
    assert [sys.getrefcount(o) for o in objects] == before


def test_repeated_keys_keep_memory_flat(keytest):
    _, cases = leak_cases()
    for _ in range(200):
        encode_ignoring_errors(keytest, cases)
    gc.collect()
    objects_before = len(gc.get_objects())
    growth = []
    tracemalloc.start()
    try:
        # A leak grows every window; the interpreter's caches refilling after the trace starts
        # grow only some, so the smallest window decides.
        for _ in range(3):
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(2000):
                encode_ignoring_errors(keytest, cases)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - start)
    finally:
        tracemalloc.stop()
    assert min(growth) < 16 * 1024, growth
    assert len(gc.get_objects()) - objects_before < 100
