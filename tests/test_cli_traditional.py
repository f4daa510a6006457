"""The traditional command's other modes through the command line, against GNU sort in the C
locale: the order check, the merge, -o naming an input, --files0-from, several -T, --batch-size.
Each case runs both commands in a fresh copy of the same files; standard output, the exit status,
the files afterwards and, for the order check, the message must be the same."""

import os
import shutil
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(shutil.which("sort") is None, reason="needs GNU sort as the oracle")

FILES = {
    "a": b"apple 3\nbanana 10\ncherry 2\n",
    "b": b"apricot 1\nbanana 10\nbanana 7\ndate 5",  # no newline at the end
    "u": b"b 1\na 2\nc 3\n",
    "dup": b"a\nb\nb\nc\n",
    "nums": b"-2\n0.5\n1K\n3M\n",
    "vers": b"v1.2\nv1.10\nv2.0~rc1\nv2.0\n",
    "r1": b"9\n5\n1\n",
    "r2": b"8\n5\n2\n",
    "list": b"a\0b\0dup\0",
    "z": b"b\0a\0",
}

CASES = [
    ["-c", "a"], ["-c", "u"], ["-C", "u"], ["--check=quiet", "u"], ["--check=silent", "u"],
    ["--check=diagnose-first", "u"], ["--check", "dup"], ["-cu", "dup"], ["-c", "-k2,2n", "a"],
    ["-c", "-z", "z"], ["-c", "-"], ["-c", "a", "b"], ["-c", "-o", "out", "a"], ["-c", "-C", "a"],
    ["--check=loud", "a"], ["-c", "missing"], ["-hc", "nums"], ["-Vc", "vers"],
    ["-m", "a", "b"], ["-m", "b", "a"], ["-mu", "a", "b"], ["-m", "-k2,2n", "r1", "r2"],
    ["-m", "-nr", "r1", "r2"], ["-m", "a", "-"], ["--merge", "--batch-size=2", "-T", ".", "a", "b", "dup", "nums"],
    ["-m", "a", "missing"], ["-m", "-o", "a", "a", "b"],
    ["-o", "a", "a", "b"], ["-o", "u", "-u", "u", "dup"],
    ["--files0-from", "list"], ["--files0-from=-"], ["--files0-from", "list", "a"],
    ["--files0-from", "missing"],
    ["-T", "no/such/dir", "-T", ".", "u", "a"], ["--sort=month", "u"], ["--sort=nope", "u"],
    ["-s", "-k1,1", "-f", "b", "a"],
]


def run_in(directory, command, args):
    # Standard input is the list of names for --files0-from=-, a line for the rest.
    stdin = b"a\0b\0" if "--files0-from=-" in args else b"m 0\n"
    return subprocess.run(command + args, cwd=directory, input=stdin, capture_output=True,
                          env={**os.environ, "LC_ALL": "C"}, timeout=60)


def copy_files(directory):
    directory.mkdir()
    for name, data in FILES.items():
        (directory / name).write_bytes(data)


def contents(directory):
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


@pytest.mark.parametrize("args", CASES, ids=" ".join)
def test_like_gnu_sort(args, tmp_path):
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    copy_files(ours)
    copy_files(theirs)
    got = run_in(ours, [sys.executable, "-m", "tessarune"], args)
    expected = run_in(theirs, ["sort", "-s"], args)
    assert (got.returncode, got.stdout) == (expected.returncode, expected.stdout), got.stderr
    assert contents(ours) == contents(theirs)
    if "disorder" in expected.stderr.decode("latin-1"):
        assert got.stderr == expected.stderr.replace(b"sort: ", b"tessarune: ", 1)


def test_random_order_keeps_equal_keys_together_and_follows_the_source(tmp_path):
    lines = b"".join(b"%s %d\n" % (word, i) for i, word in enumerate([b"x", b"Y", b"y", b"z", b"X"] * 40))
    source = tmp_path / "source"
    source.write_bytes(os.urandom(64))
    outs = []
    for _ in range(2):
        got = subprocess.run([sys.executable, "-m", "tessarune", "-k1,1fR", f"--random-source={source}"],
                             input=lines, capture_output=True, check=True).stdout
        keys = [line.split()[0].upper() for line in got.splitlines()]
        assert sorted(got.splitlines()) == sorted(lines.splitlines())
        groups = [k for i, k in enumerate(keys) if i == 0 or keys[i - 1] != k]
        assert len(groups) == len(set(groups)) == 3  # x and X fold together, and stay together
        outs.append(got)
    assert outs[0] == outs[1]
