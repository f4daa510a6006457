"""Every ordering option and key modifier against GNU sort in the C locale: random lines in
batches, each batch sorted once by `LC_ALL=C sort -s` with random options and once by the native
line key (Python's stable sort of the key bytes), which must give the same bytes. Lines are made
of what each reading cares about: numbers with units, floats with exponents, hex, inf and NaNs,
month names, version strings with suffixes and '~', control and punctuation bytes, mixed case."""

import os
import random
import shutil
import subprocess

import pytest

from reference_line_keys import KeyError_, parse_key, plan_fields, whole_line_part

pytestmark = pytest.mark.skipif(shutil.which("sort") is None, reason="needs GNU sort as the oracle")

SLOW = os.environ.get("TESSARUNE_SLOW") == "1"
BATCHES = 1500 if SLOW else 250
LINES = 200

# The readings and what their lines are made of. The sort command may predate the units R and Q,
# so numbers carry only the older ones (and -h batches no R or Q at all: -f makes units of r, q).
NUMBER = [b"0", b"00", b"1", b"7", b"10", b"012", b"-0", b"-3", b"-12.5", b"3.50", b".5", b"-.25",
          b"12345678901234567890", b"999", b"1000", b"+4", b"-", b".", b"1e3", b"0x10"]
UNIT = [b"", b"", b"K", b"k", b"M", b"G", b"T", b"P", b"E", b"Z", b"Y", b"B", b"i", b"KB"]
# NaNs are left out: GNU sort compares two NaNs by all the bytes of a long double, padding too,
# so equal NaNs fall in no fixed order; test_distinct_nans_order_as_gnu_sort has one of each.
FLOAT = [b"1e3", b"1E-2", b"-2.5e+1", b"0x1p3", b"0X1.8P1", b"-0x.8p-1", b"inf", b"-Inf", b"INFINITY",
         b"1e5000", b"-1e5000", b"1e-5000", b"4e-4951",
         b"1.0000000000000000001", b"1.000000000000000000000001", b"e5", b"1e", b"0x", b"\v2", b"\r3"]
MONTH = [b"jan", b"JAN", b"January", b"feb", b"Mar", b"apr", b"MAY", b"jun", b"jul", b"aug", b"Sep",
         b"oct", b"nov", b"dec", b"DECEMBER", b"ja", b"febx", b"xmar", b"", b"\vjan"]
VERSION = [b"1", b"01", b"1.2", b"1.10", b"1.2.3", b"~", b"~1", b"a", b"A", b"b", b"z~", b"z", b".",
           b"..", b".a", b".tar.gz", b".gz", b".1", b"-", b"_", b"rc1", b"0", b"00", b"~rc", b"\x7f",
           b"\x01", b"\x00", b"\xc3\xa9", b".x~y", b".a.b", b"9" * 30]
TEXT = [b"\x00", b"a", b"A", b"b", b"B", b"z", b"Z", b"_", b"-", b"~", b"\x01", b"\x7f", b"\x1f", b"\xff",
        b"\xe9", b"0", b"9", b"\t", b"\v", b"\r", b"[", b"`", b"{", b" "]
BLANKS = [b"", b"", b"", b" ", b"  ", b"\t", b" \t"]
BLANKS_Z = BLANKS + [b"\n", b" \n"]  # with -z, newline is a blank

READINGS = ["", "", "n", "g", "h", "M", "V"]
FILTERS = "dfi"


def piece(rng, reading):
    if reading in ("n", "h"):
        return rng.choice(NUMBER) + rng.choice(UNIT)
    if reading == "g":
        return rng.choice(FLOAT + NUMBER)
    if reading == "M":
        return rng.choice(MONTH)
    if reading == "V":
        return b"".join(rng.choices(VERSION, k=rng.randint(0, 4)))
    return b"".join(rng.choices(TEXT, k=rng.randint(0, 4)))


def random_line(rng, readings, tab, zero):
    """Fields of the batch's readings (and some of others), with blanks between or a separator."""
    fields = []
    blanks = BLANKS_Z if zero else BLANKS
    for _ in range(rng.randint(1, 4)):
        reading = rng.choice(readings) if rng.random() < 0.8 else rng.choice(READINGS)
        fields.append(rng.choice(blanks) + piece(rng, reading).replace(b"\x00", b"" if zero else b"\x00")
                      + rng.choice(blanks))
    line = b" ".join(fields) if tab is None else tab.join(fields)
    if "h" in readings:  # R and Q are units since the sort command of 2023, not before
        line = line.translate(None, b"RQrq")
    return line


def random_modifiers(rng):
    """A reading, some filters, b and r: sometimes a combination GNU refuses."""
    mods = rng.choice(READINGS)
    if rng.random() < 0.1:
        mods += rng.choice("nghMRV")
    mods += "".join(m for m in FILTERS if rng.random() < (0.15 if mods in ("", "V") else 0.03))
    mods += "".join(m for m in "br" if rng.random() < 0.3)
    return "".join(rng.sample(mods, len(mods)))


def random_options(rng):
    """The argument list of one batch: global modifiers or 1-3 -k keys, sometimes -t."""
    args = []
    tab = None if rng.random() < 0.6 else rng.choice([b",", b":"])
    if tab is not None:
        args.append("-t" + tab.decode())
    if rng.random() < 0.3:
        mods = random_modifiers(rng)
        if mods:
            args.append("-" + mods)
        return args, tab, []
    globals_ = random_modifiers(rng) if rng.random() < 0.2 else ""
    if globals_:
        args.append("-" + globals_)
    specs = []
    for _ in range(rng.randint(1, 3)):
        start = rng.randint(1, 4)
        spec = str(start) + ("." + str(rng.randint(1, 3)) if rng.random() < 0.2 else "")
        spec += random_modifiers(rng) if rng.random() < 0.8 else ""
        if rng.random() < 0.7:
            spec += "," + str(start + rng.randint(0, 1)) + (random_modifiers(rng) if rng.random() < 0.2 else "")
        specs.append(spec)
    args += ["-k" + s for s in specs]
    return args, tab, specs


def readings_of(args):
    letters = "".join(a[1:] for a in args if a.startswith("-") and not a.startswith("-t"))
    return [r for r in "nghMV" if r in letters] or [""]


def native_parts(args, specs):
    flags = {m: False for m in "bdfghiMnRrV"}
    for a in args:
        if a.startswith("-") and not a.startswith(("-k", "-t")):
            for m in a[1:]:
                flags[m] = True
    parts = [parse_key(s, flags) for s in specs]
    return parts or [whole_line_part(flags)]


def gnu_sort(args, data):
    return subprocess.run(["sort", "-s", *args], input=data, capture_output=True,
                          env={**os.environ, "LC_ALL": "C"})


def test_orders_equal_gnu_sort(keytest):
    seed = int(os.environ.get("TESSARUNE_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    compared = 0
    for _ in range(BATCHES):
        args, tab, specs = random_options(rng)
        readings = readings_of(args)
        zero = rng.random() < 0.2
        end = b"\0" if zero else b"\n"
        lines = [random_line(rng, readings, tab, zero) for _ in range(LINES)]
        gnu = gnu_sort(args + ["-z"] * zero, b"".join(line + end for line in lines))
        try:
            fields = plan_fields(native_parts(args, specs))
        except KeyError_ as e:
            assert gnu.returncode == 2 and str(e) in gnu.stderr.decode(), \
                f"TESSARUNE_SEED={seed}: {args}: refused with {e}, GNU: {gnu.stderr!r}"
            continue
        assert gnu.returncode == 0, f"TESSARUNE_SEED={seed}: {args}: GNU refused: {gnu.stderr!r}"
        if any("R" in a for a in args):
            continue  # only GNU's refusals of R are comparable
        keyed = sorted(lines, key=lambda line: keytest.line_key(fields, tab, zero, line))
        expected = gnu.stdout.split(end)[:-1]
        if keyed != expected:
            at = next(i for i, (a, b) in enumerate(zip(keyed, expected)) if a != b)
            pytest.fail(f"TESSARUNE_SEED={seed}: sort -s {' '.join(args)}: line {at} is {keyed[at]!r}, "
                        f"GNU has {expected[at]!r}")
        compared += 1
    assert compared > BATCHES // 2


def test_random_order_groups_equal_keys_and_changes_with_the_seed(keytest):
    rng = random.Random(7)
    lines = [rng.choice([b"a", b"A", b"b", b"B", b"-a", b"c", b"\x01c"]) + b" " + str(i).encode()
             for i in range(300)]
    fields = plan_fields([parse_key("1,1Rf", {})])
    orders = []
    for seed in (1, 2):
        keyed = sorted(lines, key=lambda line: keytest.line_key(fields, None, False, line, seed))
        firsts = [line.split(b" ")[0].upper() for line in keyed]
        groups = [f for i, f in enumerate(firsts) if i == 0 or f != firsts[i - 1]]
        assert len(groups) == len(set(groups)) == 5, groups  # folded equal keys stay together
        orders.append(groups)
    assert orders[0] != orders[1]


def test_distinct_nans_order_as_gnu_sort(keytest):
    lines = [b"nan(2)", b"-nan", b"x", b"nan", b"-inf", b"-nan(5)", b"nan(1)", b"0x1p-16445"]
    fields = plan_fields([whole_line_part({"g": True})])
    keyed = sorted(lines, key=lambda line: keytest.line_key(fields, None, False, line))
    assert keyed == gnu_sort(["-g"], b"".join(line + b"\n" for line in lines)).stdout.split(b"\n")[:-1]
