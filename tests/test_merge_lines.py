"""The command's merge (-m) and order check (-c) at sizes where they read in many pieces and may
work in parallel, against `sort`: inputs over 8 MiB in all, sorted or not, merged into a regular
file with two threads; a disorder deep in a large input; lines longer than a read."""

import random

import pytest

from command import as_sort_says, needs_sort, run, run_sort

pytestmark = needs_sort

WORDS = [b"v1.%d" % i for i in range(40)] + [b"a", b"B", b"-3", b"10", b"2.5", b"x y"]


def large_inputs(tmp_path, args, sort_them):
    rng = random.Random(11)
    end = b"\0" if "-z" in args else b"\n"
    paths = []
    for i in range(5):
        data = b"".join(b"%s %d%s" % (rng.choice(WORDS), rng.randrange(1000), end)
                        for _ in range(200_000))
        if sort_them:
            data = run_sort(args, data).stdout
        path = tmp_path / f"in{i}"
        path.write_bytes(data[:-1] if i == 0 else data)  # the first ends without its separator
        paths.append(str(path))
    return paths


@pytest.mark.parametrize("sort_them", [True, False], ids=["sorted", "unsorted"])
@pytest.mark.parametrize("args", [[], ["-k2,2n", "-k1,1r"], ["-z", "-f", "-u"]], ids=" ".join)
def test_large_merge_like_sort(args, sort_them, tmp_path):
    paths = large_inputs(tmp_path, args, sort_them)
    out = tmp_path / "out"
    got = run(args + ["-m", "--parallel=2", "-o", str(out), *paths])
    assert got.returncode == 0, got.stderr
    assert out.read_bytes() == run_sort(args + ["-m", *paths]).stdout


@pytest.mark.parametrize("args", [[], ["-k2,2n", "-k1,1r"], ["-z", "-f"]], ids=" ".join)
def test_disorder_deep_in_a_large_input_like_sort(args, tmp_path):
    path = large_inputs(tmp_path, args, True)[3]
    end = b"\0" if "-z" in args else b"\n"
    with open(path, "rb") as f:
        lines = f.read().split(end)
    lines[-20], lines[-10] = lines[-10], lines[-20]
    with open(path, "wb") as f:
        f.write(end.join(lines))
    expected = run_sort(args + ["-c", path])
    assert expected.returncode == 1
    got = run(args + ["-c", "--parallel=2", path])
    assert (got.returncode, as_sort_says(got.stderr)) == (1, expected.stderr)


@pytest.mark.parametrize("mode", ["-m", "-c"])
def test_lines_longer_than_a_read(mode, tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    long = [b"b" * 1_500_000 + b"1", b"b" * 700_000 + b"2"]
    a.write_bytes(b"a\n" + long[0] + b"\nb\nc\n")  # "b" is out of order
    b.write_bytes(b"b\n" + long[1])  # the last line ends without a newline
    names = [str(a)] if mode == "-c" else [str(a), str(b)]
    got, expected = run([mode, *names]), run_sort([mode, *names])
    assert (got.returncode, got.stdout) == (expected.returncode, expected.stdout)
    assert as_sort_says(got.stderr) == expected.stderr
