"""The streaming merge (-m) and the order check (-c) against GNU sort: random options and lines
as in test_line_key_orders, inputs sorted by `LC_ALL=C sort -s` itself, merged or checked by
both; the merged bytes, and the line each finds out of order, must be the same."""

import os
import random
import shutil

import pytest
from _tessarune import _merge_lines

from tessarune.cli_keys import KeyError_, plan_fields
from test_line_key_orders import gnu_sort, native_parts, random_line, random_options, readings_of

pytestmark = pytest.mark.skipif(shutil.which("sort") is None, reason="needs GNU sort as the oracle")

SLOW = os.environ.get("TESSARUNE_SLOW") == "1"
BATCHES = 300 if SLOW else 30


def batches(rng):
    """(args, tab, fields, zero, lines of each input) for options GNU and the plan both accept."""
    made = 0
    while made < BATCHES:
        args, tab, specs = random_options(rng)
        if any("R" in a for a in args):
            continue
        try:
            fields = plan_fields(native_parts(args, specs))
        except KeyError_:
            continue
        zero = rng.random() < 0.2
        if zero:
            args = args + ["-z"]
        readings = readings_of(args)
        inputs = [[random_line(rng, readings, tab, zero) for _ in range(rng.randint(0, 60))]
                  for _ in range(rng.randint(1, 8))]
        made += 1
        # Whole lines with no option: the merge compares the lines themselves.
        yield args, tab, (None if args in ([], ["-z"]) else fields), zero, inputs


def write(path, lines, end):
    with open(path, "wb") as f:
        f.write(b"".join(line + end for line in lines))


def merged(paths, out_path, fields, tab, zero, unique, strict=False, check=False):
    files = [open(p, "rb") for p in paths]
    try:
        with open(out_path, "wb") as out:
            return _merge_lines([f.fileno() for f in files], fields, tab, zero, 0,
                                -1 if check else out.fileno(), unique, strict, 1)
    finally:
        for f in files:
            f.close()


def test_merge_equals_gnu_sort_merge(tmp_path):
    seed = int(os.environ.get("TESSARUNE_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    for args, tab, fields, zero, inputs in batches(rng):
        end = b"\0" if zero else b"\n"
        paths = []
        for i, lines in enumerate(inputs):
            path = tmp_path / f"in{i}"
            path.write_bytes(gnu_sort(args, b"".join(line + end for line in lines)).stdout)
            paths.append(str(path))
        unique = rng.random() < 0.3
        args = args + ["-u"] * unique
        expected = gnu_sort(args + ["-m", *paths], b"")
        assert expected.returncode == 0, expected.stderr
        out = tmp_path / "out"
        assert merged(paths, out, fields, tab, zero, unique) is None, f"TESSARUNE_SEED={seed}: {args}"
        assert out.read_bytes() == expected.stdout, f"TESSARUNE_SEED={seed}: sort -s -m {' '.join(args)}"


def test_check_finds_the_disorder_gnu_sort_finds(tmp_path):
    seed = int(os.environ.get("TESSARUNE_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    disorders = 0
    for args, tab, fields, zero, inputs in batches(rng):
        end = b"\0" if zero else b"\n"
        lines = inputs[0]
        path = tmp_path / "in"
        write(path, lines, end)
        if rng.random() < 0.5:  # sorted, then perhaps two lines swapped
            lines = gnu_sort(args, path.read_bytes()).stdout.split(end)[:-1]
            if len(lines) > 1 and rng.random() < 0.7:
                i = rng.randrange(len(lines) - 1)
                lines[i], lines[i + 1] = lines[i + 1], lines[i]
            write(path, lines, end)
        unique = rng.random() < 0.3
        gnu = gnu_sort(args + ["-u"] * unique + ["-c", str(path)], b"")
        found = merged([str(path)], tmp_path / "out", fields, tab, zero, False, unique, check=True)
        if gnu.returncode == 0:
            assert found is None, f"TESSARUNE_SEED={seed}: {args}: -c found {found}"
            continue
        disorders += 1
        assert found is not None, f"TESSARUNE_SEED={seed}: {args}: GNU: {gnu.stderr!r}"
        _, number, line = found
        prefix = f"sort: {path}:{number}: disorder: ".encode()
        assert gnu.stderr == prefix + line + end, f"TESSARUNE_SEED={seed}: {args}"
    assert disorders > 0


def test_merge_stops_at_an_input_out_of_order_after_writing_what_came_before(tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    write(a, [b"1", b"4", b"2", b"5"], b"\n")
    write(b, [b"3"], b"\n")
    out = tmp_path / "out"
    assert merged([a, b], out, None, None, False, False) == (0, 3, b"2")
    assert out.read_bytes() == b"1\n3\n4\n"  # the line before the disorder is written


def test_lines_longer_than_the_read_buffer(tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    long = [b"b" * 300_000 + b"1", b"b" * 300_000 + b"2"]
    write(a, [b"a", long[0], b"c"], b"\n")
    b.write_bytes(b"b\n" + long[1])  # the last line ends without a newline
    out = tmp_path / "out"
    assert merged([a, b], out, None, None, False, False) is None
    assert out.read_bytes() == b"".join(x + b"\n" for x in sorted([b"a", b"c", b"b"] + long))


@pytest.mark.parametrize("args", [[], ["-k2,2n", "-k1,1r"], ["-z", "-f"]], ids=" ".join)
def test_merge_in_two_halves_equals_gnu_sort_merge(tmp_path, args):
    """Above 8 MiB regular files go in two halves at once: the same bytes as one merge, and a
    disorder in the second half reported with its line number in the whole input."""
    rng = random.Random(11)
    zero = "-z" in args
    end = b"\0" if zero else b"\n"
    words = [b"v1.%d" % i for i in range(40)] + [b"a", b"B", b"-3", b"10", b"2.5", b"x y"]
    paths = []
    for i in range(5):
        data = b"".join(b"%s %d%s" % (rng.choice(words), rng.randrange(1000), end) for _ in range(200_000))
        path = tmp_path / f"in{i}"
        path.write_bytes(gnu_sort(args, data).stdout[:-1] if i == 0 else gnu_sort(args, data).stdout)
        paths.append(path)
    fields = plan_fields(native_parts(args, [a[2:] for a in args if a.startswith("-k")]))
    fields = None if args in ([],) else fields
    out = tmp_path / "out"
    files = [open(p, "rb") for p in paths]
    with open(out, "wb") as f:
        assert _merge_lines([x.fileno() for x in files], fields, None, zero, 0, f.fileno(), False, False, 2) is None
    for x in files:
        x.close()
    assert out.read_bytes() == gnu_sort(args + ["-m", *map(str, paths)], b"").stdout

    lines = paths[3].read_bytes().split(end)
    lines[-20], lines[-10] = lines[-10], lines[-20]
    paths[3].write_bytes(end.join(lines))
    expected = gnu_sort(args + ["-c", str(paths[3])], b"").stderr
    files = [open(p, "rb") for p in paths]
    with open(out, "wb") as f:
        index, number, line = _merge_lines([x.fileno() for x in files], fields, None, zero, 0, f.fileno(),
                                           False, False, 2)
    for x in files:
        x.close()
    assert expected == f"sort: {paths[3]}:{number}: disorder: ".encode() + line + end
