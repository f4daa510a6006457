"""Keys of dates, times, datetimes, Decimals, Fractions and UUIDs, and reversed sorters, against
Python's own comparisons and sorted(); the bytes of the older kinds stay what they were."""

import datetime as dt
import decimal
import functools
import hashlib
import math
import pickle
import random
import struct
import sys
import uuid
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessarune
from tessarune import Sorter, key_bytes
from test_keys import DBL_MAX_INT, KIND_MESSAGE, floats, ints, property_settings

UTC = dt.timezone.utc
MIX_MESSAGE = "a sorter cannot mix naive and aware datetimes, which do not compare: "


# --- the reference: Python's comparisons, and the documented order across kinds --------------

def rank(v):
    if v is None:
        return 0
    if isinstance(v, (int, float, Decimal, Fraction)):
        return 1
    if isinstance(v, dt.datetime):
        return 7 if v.utcoffset() is None else 8
    for r, types in ((2, str), (3, bytes), (4, tuple), (5, list), (6, dt.date), (9, dt.time), (10, uuid.UUID)):
        if isinstance(v, types):
            return r
    raise TypeError(type(v))


def is_nan(v):
    return v.is_nan() if isinstance(v, Decimal) else v != v


def ref_cmp(a, b):
    ra, rb = rank(a), rank(b)
    if ra != rb or ra == 0:
        return (ra > rb) - (ra < rb)
    if ra in (4, 5):
        for x, y in zip(a, b):
            if c := ref_cmp(x, y):
                return c
        return (len(a) > len(b)) - (len(a) < len(b))
    if ra == 1:
        na, nb = is_nan(a), is_nan(b)
        if na or nb:
            return (na > nb) - (na < nb)
    return (a > b) - (a < b)


def assert_order_matches(values):
    encoded = [key_bytes(v) for v in values]
    for a, ea in zip(values, encoded):
        for b, eb in zip(values, encoded):
            assert (ea > eb) - (ea < eb) == ref_cmp(a, b), f"{a!r} vs {b!r}: {ea.hex()} vs {eb.hex()}"


# --- generated keys -----------------------------------------------------------------------

EXACT = decimal.Context(prec=3000, Emin=-5000, Emax=5000, traps=[decimal.Inexact])


def as_decimal(x):
    """x (a Fraction) as the Decimal of exactly its value, within the key limits; else x."""
    try:
        d = EXACT.divide(Decimal(x.numerator), Decimal(x.denominator))
    except decimal.Inexact:
        return x
    t = d.as_tuple()
    return d if len(t.digits) <= 1100 and -1100 <= t.exponent <= 1100 else x


def typed(x, kind):
    if kind == "decimal":
        return as_decimal(x)
    if kind == "float" and x.denominator == 1 and abs(x) < 2**1024 or kind == "int":
        return math.floor(x) if kind == "int" else float(x)
    return x


# Values next to doubles of every range, next to the ints around 2^53 and 2^1024, and exactly on
# them, as ints, floats, Decimals and Fractions: ties across types and neighbours closer than any
# double's spacing.
CENTRES = [0, 1, Fraction(1, 10), Fraction(-5, 2), 2**52, 2**53, 2**53 + 2, 2**60, 2**64, 2**1023, DBL_MAX_INT,
           2**1024, Fraction(5e-324), Fraction(2.2250738585072014e-308), Fraction(1e-300), Fraction(1e300),
           Fraction(0.1), Fraction(1, 3)]
offsets = st.one_of(st.just(Fraction(0)),
                    st.builds(Fraction, st.integers(-5, 5), st.sampled_from([1, 2, 3, 7, 10, 2**60, 3**40, 10**30,
                                                                              2**1074, 2**1100, 10**400])))
rationals = st.builds(lambda c, o, neg: -(c + o) if neg else c + o,
                      st.sampled_from(CENTRES).map(Fraction), offsets, st.booleans())
mixed_numbers = st.one_of(
    ints, floats, st.booleans(),
    st.builds(typed, rationals, st.sampled_from(["fraction", "decimal", "decimal", "float", "int"])),
    st.decimals(allow_nan=True, places=None).filter(
        lambda d: not d.is_finite() or len(d.as_tuple().digits) <= 1100 and abs(d.as_tuple().exponent) <= 1100),
    st.builds(Fraction, st.integers(-(10**40), 10**40), st.integers(1, 10**40)))

instants = st.integers(-62135596800, 253402300799).map(lambda s: dt.datetime(1970, 1, 1) + dt.timedelta(seconds=s))
naive_datetimes = st.builds(lambda t, us: t.replace(microsecond=us), instants, st.sampled_from([0, 1, 500000, 999999]))
offsets_tz = st.builds(lambda m, us: dt.timezone(dt.timedelta(minutes=m, microseconds=us)),
                       st.integers(-1439, 1439), st.sampled_from([0, 1, 999999]))
aware_datetimes = st.builds(lambda d, tz: d.replace(tzinfo=tz), naive_datetimes.filter(
    lambda d: dt.datetime(1, 1, 2) < d < dt.datetime(9999, 12, 31)), st.one_of(st.just(UTC), offsets_tz))
dates = st.dates()
times = st.times()
uuids = st.builds(uuid.UUID, int=st.one_of(st.integers(0, 2**128 - 1), st.sampled_from([0, 2**128 - 1, 255, 256])))


@property_settings
@given(st.lists(mixed_numbers, min_size=2, max_size=10))
def test_numbers_of_every_kind_order_as_python_compares_them(values):
    # Inside tuples too, where the next element's tag follows each number.
    assert_order_matches(values + [(v, "a") for v in values[:3]] + [(v,) for v in values[:3]])


@property_settings
@given(st.lists(st.one_of(naive_datetimes, aware_datetimes, dates, times, uuids, st.none(),
                          st.integers(-3, 3), st.tuples(naive_datetimes, dates)), min_size=2, max_size=10))
def test_dates_times_and_uuids_order_as_python_compares_them(values):
    assert_order_matches(values)


class Dated(dt.datetime):
    pass


class Money(Decimal):
    pass


class Ratio(Fraction):
    pass


class Tagged(uuid.UUID):
    pass


@pytest.mark.parametrize("group", [
    [1, 1.0, True, Decimal(1), Decimal("1.000"), Fraction(1), Fraction(4, 4)],
    [0, -0.0, Decimal("-0"), Decimal("0E-5000"), Fraction(0)],
    [0.1, Decimal(0.1), Fraction(0.1)],
    [Decimal("0.1"), Decimal("0.1" + "0" * 40), Fraction(1, 10)],  # 128-bit and general arithmetic
    [2.5, Decimal("2.5"), Money("2.5"), Ratio(5, 2)],
    [2**70 + 1, Decimal(2**70 + 1), Fraction(2**70 + 1)],
    [math.nan, Decimal("NaN"), Decimal("-sNaN"), Decimal("NaN123")],
    [math.inf, Decimal("Infinity")],
    [dt.datetime(2020, 3, 1, 12, tzinfo=UTC), dt.datetime(2020, 3, 1, 14, tzinfo=dt.timezone(dt.timedelta(hours=2)))],
    [dt.datetime(2020, 1, 2, 3), Dated(2020, 1, 2, 3)],
    [uuid.UUID(int=9), Tagged(int=9)],
], ids=lambda g: type(g[-1]).__name__)
def test_equal_values_of_different_types_have_equal_keys(group):
    assert len({key_bytes(v) for v in group}) == 1


def test_a_namesake_is_no_decimal():
    namesake = type("Decimal", (), {})
    with pytest.raises(TypeError, match=KIND_MESSAGE + "Decimal"):
        key_bytes(namesake())


def test_pure_python_decimal_is_read_through_its_public_methods(monkeypatch):
    import _pydecimal
    samples = ["1.5", "-0.1", "1e-1100", "-123456789012345678901234567890.0001", "NaN", "-Infinity", "0E+7"]
    expected = [key_bytes(Decimal(s)) for s in samples]
    monkeypatch.setitem(sys.modules, "decimal", _pydecimal)
    assert [key_bytes(_pydecimal.Decimal(s)) for s in samples] == expected
    with pytest.raises(ValueError, match="at most 1100 digits"):
        key_bytes(_pydecimal.Decimal("1" * 1101))


def test_aware_datetimes_follow_the_instant_across_a_fold():
    zoneinfo = pytest.importorskip("zoneinfo")
    try:
        ny = zoneinfo.ZoneInfo("America/New_York")
    except zoneinfo.ZoneInfoNotFoundError:
        pytest.skip("no time zone data")
    first = dt.datetime(2021, 11, 7, 1, 30, tzinfo=ny)  # EDT, 05:30 UTC
    second = first.replace(fold=1)  # EST, 06:30 UTC: Python calls them equal (same tzinfo)
    assert first == second
    assert key_bytes(first) < key_bytes(second) == key_bytes(dt.datetime(2021, 11, 7, 6, 30, tzinfo=UTC))


# The layouts: tag, then fixed fields; a rational between doubles continues the key of the double
# below it with FF and its continued fraction.
@pytest.mark.parametrize(("key", "expected"), [
    (dt.date(2020, 1, 1), "70 000b4091"),
    (dt.datetime(1970, 1, 1, 0, 0, 1, 5), "80 8000000000000001 00001388"),
    (dt.datetime(1970, 1, 1, 0, 0, 1, 5, tzinfo=dt.timezone(dt.timedelta(hours=1))), "90 7ffffffffffff1f1 00001388"),
    (dt.time(1, 2, 3, 4), "a0 00000e8b 00000fa0"),
    (uuid.UUID(int=5), "b0" + "00" * 15 + "05"),
    (Fraction(1, 3), "20 bfd5555555555555 00 ff fc ff"),  # [0; 3] of the spacing above the double
    (Decimal("-0.1"), "20 4046666666666665 00 ff fd 02 00"),  # 2/5 of the spacing above -0.1 (float)
], ids=lambda v: repr(v)[:30])
def test_new_kind_layouts(key, expected):
    assert key_bytes(key).hex() == expected.replace(" ", "")


def old_kind_keys(seed=30, count=3000):
    """Keys of the kinds that existed before dates, Decimals and the others: a seeded mix."""
    rng = random.Random(seed)

    def number():
        pick = rng.randrange(6)
        if pick == 0:
            return rng.randrange(-2**64, 2**64)
        if pick == 1:
            e = rng.randrange(0, 1100)
            return rng.choice((1, -1)) * (2**e + rng.randrange(-3, 4))
        if pick == 2:
            return struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if pick == 3:
            return rng.choice((0.0, -0.0, math.inf, -math.inf, math.nan, True, False, 0.1, -2.5))
        if pick == 4:
            return rng.randrange(-10**6, 10**6) / 64
        return rng.randrange(-5000, 5000)

    def scalar():
        pick = rng.randrange(5)
        if pick == 1:
            return "".join(chr(rng.choice((0, 1, 0x61, 0xe9, 0xd800, 0xffff, 0x10ffff, rng.randrange(0x110000))))
                           for _ in range(rng.randrange(5)))
        if pick == 2:
            return bytes(rng.choice((0, 1, 0x61, 0xff)) for _ in range(rng.randrange(5)))
        return None if pick == 3 else number()

    def value(depth=0):
        pick = rng.randrange(4 if depth < 3 else 1)
        if pick == 0:
            return scalar()
        items = [value(depth + 1) for _ in range(rng.randrange(4))]
        return tuple(items) if pick == 1 else items

    return [value() for _ in range(count)]


def test_older_kinds_keep_their_bytes():
    # The digest of their key bytes before these kinds came; test_keys pins worked examples too.
    digest = hashlib.sha256()
    for k in old_kind_keys():
        digest.update(key_bytes(k) + b"|")
    assert digest.hexdigest() == "e5209a076b160c9a5c55aed6d2323445d4526fa3a4ab1933fe6f4a9dba8297d5"


# --- sorters --------------------------------------------------------------------------------

def records(aware, count, seed):
    rng = random.Random(seed)
    tz = [UTC, dt.timezone(dt.timedelta(hours=-5)), dt.timezone(dt.timedelta(minutes=330))]
    base = dt.datetime(2024, 3, 1)
    # Small pools, so that keys tie often and equal values come in different types.
    numbers = [0, 1, 1.0, Decimal("1.00"), Fraction(1), 0.1, Decimal("0.1"), Fraction(1, 10), -2.5,
               Decimal("-2.5"), Fraction(-1, 3), 2**53 + 1, Decimal(2**53) + Decimal("0.5"), 2.0**53, 1e300,
               Fraction(10**300 + 1, 3), -math.inf, Decimal("-Infinity")]
    out = []
    for i in range(count):
        when = base + dt.timedelta(minutes=rng.randrange(6) * 90)
        out.append({
            "i": i,
            "n": rng.choice(numbers),
            "dt": when.replace(tzinfo=rng.choice(tz)) if aware else when,
            "d": dt.date(2024, 1, 1) + dt.timedelta(days=rng.randrange(4)),
            "t": dt.time(rng.randrange(3), 30),
            "u": uuid.UUID(int=rng.randrange(4) << 120),
            "s": rng.choice(["", "a", "b"]),
        })
    return out


KEYS = {
    "number": lambda r: r["n"],
    "datetime": lambda r: r["dt"],
    "tuple of every kind": lambda r: (r["d"], r["t"], r["u"], r["dt"], r["n"]),
    "list": lambda r: [r["s"], r["n"], r["dt"]],
}


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("aware", [False, True], ids=["naive", "aware"])
@pytest.mark.parametrize("key", list(KEYS))
def test_sorter_matches_sorted(tmp_path, key, aware, reverse):
    fn = KEYS[key]
    items = records(aware, 4000, seed=hash((key, aware, reverse)) & 0xFFFF)
    expected = [r["i"] for r in sorted(items, key=fn, reverse=reverse)]
    with Sorter(key=fn, reverse=reverse, max_bytes=128 << 10, tmp_dir=tmp_path) as s:
        for r in items:
            if r["i"] % 3:
                s.add(r)
            else:
                s.add_encoded(fn(r), pickle.dumps(r, 5))
        got = [r["i"] for r in s.sort()]
        assert s.stats().runs_spilled > 1
    assert got == expected


def test_naive_and_aware_datetimes_do_not_mix():
    naive, aware = dt.datetime(2024, 1, 1), dt.datetime(2024, 1, 1, tzinfo=UTC)
    assert key_bytes(naive) < key_bytes(aware)  # key_bytes alone cannot know; it orders them
    cases = [([naive], aware, "this key holds an aware one, earlier keys naive ones"),
             ([(1, aware)], [naive], "this key holds a naive one, earlier keys aware ones"),
             ([], (naive, aware), "this key holds both")]
    for earlier, key, message in cases:
        s = Sorter()
        for k in earlier:
            s.add(k)
        with pytest.raises(TypeError) as info:
            s.add_encoded(key, b"")
        assert str(info.value) == MIX_MESSAGE + message
        assert len(s) == len(earlier)
        s.add(naive if earlier and earlier[0] is naive else 1)  # the sorter goes on


@pytest.mark.parametrize(("key", "kind", "message"), [
    (Decimal("1" * 1101), ValueError, "a Decimal sort key may have at most 1100 digits, not 1101"),
    (Decimal("1e1101"), ValueError, "the exponent of a Decimal sort key must lie from -1100 to 1100, not 1101"),
    ((Decimal("-1e-1101"),), ValueError, "the exponent of a Decimal sort key must lie from -1100 to 1100, not -1101"),
    (Fraction(1, 2**4096), ValueError, "the numerator and denominator of a Fraction sort key must be below 2**4096"),
    ([Fraction(-(2**4096), 3)], ValueError,
     "the numerator and denominator of a Fraction sort key must be below 2**4096"),
    (dt.time(1, tzinfo=UTC), TypeError,
     "a time with a tzinfo is no sort key: use a datetime, or drop the tzinfo with replace(tzinfo=None)"),
], ids=["digits", "exponent", "negative exponent", "denominator", "numerator", "time with tzinfo"])
def test_limits_and_refusals(key, kind, message):
    with pytest.raises(kind) as from_key_bytes:
        key_bytes(key)
    with pytest.raises(kind) as from_add:
        Sorter().add(key)
    assert str(from_key_bytes.value) == str(from_add.value) == message


def test_values_at_the_limits_are_keys():
    at_limits = [Decimal("9" * 1100), Decimal("-1e1100"), Decimal("1e-1100"), Decimal("0E-99999"),
                 Fraction(2**4096 - 1, 2**4096 - 3), Fraction(1, 2**4096 - 1), Decimal(5e-324)]
    assert_order_matches(at_limits)


def test_reverse_around_prefixes_and_through_key_bytes():
    # The key of 2**60 is a proper prefix of the key of the rational just above it.
    keys = [2**60, 2**60 + Fraction(1, 3), 2.0**60, Decimal(2**60) - Decimal("0.5"), (2**60, None),
            (2**60 + Fraction(1, 3),), 2**60 + Fraction(2, 3), "x"]
    expected = sorted(range(len(keys)), key=functools.cmp_to_key(lambda i, j: ref_cmp(keys[i], keys[j])), reverse=True)
    assert list(Sorter(key=lambda i: keys[i], reverse="yes").sort(range(len(keys)))) == expected
    through_bytes = Sorter(reverse=True)
    for i in range(len(keys)):
        through_bytes.add_encoded(key_bytes(keys[i]), pickle.dumps(i))
    assert list(through_bytes.sort()) == expected
    with pytest.raises(TypeError):
        Sorter(None, True)  # keyword only


def test_a_reversed_sorter_refuses_keys_made_for_ascending_order():
    with tessarune.Sorter(reverse=True) as sorter:
        with pytest.raises(ValueError, match="reverse=True takes items by add"):
            sorter._add_lines(b"b\na\n", b"\n")
