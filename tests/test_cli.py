"""The tessarune command's own formats and features: JSON Lines and CSV against Python's json
and csv, lines longer than its reads, its messages, --progress and --stats. (Lines against
`sort` are in test_cli_traditional.py; the files around the command in test_cli_targets.py.)"""

import csv
import io
import json
import os
import pty
import random
import subprocess

import pytest

from command import command, leftovers, needs_sort, run, run_sort


def jsonl_rows(n):
    rnd = random.Random(5)
    rows = []
    for i in range(n):
        row = {"user": {"id": rnd.randint(0, 9)}, "t": rnd.choice([1.5, 2, -3, 10**30]), "i": i}
        if rnd.random() < 0.2:
            del row["user"]
        rows.append(row)
    return rows


@pytest.mark.parametrize("options, key, reverse, unique", [
    (["-k", "user.id,t"], lambda r: (r.get("user", {}).get("id", -1), r["t"]), False, False),
    (["-k", "t", "-r"], lambda r: r["t"], True, False),
    (["-k", "user.id", "-u"], lambda r: r.get("user", {}).get("id", -1), False, True),
])
def test_jsonl_matches_sorted(options, key, reverse, unique, tmp_path):
    rows = jsonl_rows(2000)
    data = b"".join(json.dumps(r).encode() + b"\n" for r in rows)
    got = run(["--jsonl", "-S", "30K", "-T", str(tmp_path)] + options, data)
    assert got.returncode == 0, got.stderr
    # A missing field is None, which sorts first; -1 stands in for it in the oracle.
    expected = sorted(rows, key=key, reverse=reverse)
    if reverse:  # stable: equal keys keep their input order under -r too
        expected = sorted(rows, key=lambda r: (-key(r), r["i"]))
    if unique:
        seen, kept = set(), []
        for r in expected:
            if key(r) not in seen:
                seen.add(key(r))
                kept.append(r)
        expected = kept
    assert [json.loads(x)["i"] for x in got.stdout.splitlines()] == [r["i"] for r in expected]
    assert os.listdir(tmp_path) == []


def test_csv_matches_sorted_with_header_first(tmp_path):
    rnd = random.Random(9)
    rows = [[str(i), rnd.choice(["x", "y, z", 'q"uote', "multi\nline"]), str(rnd.randint(-50, 50))]
            for i in range(1500)]
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows([["id", "name", "price"]] + rows)
    data = text.getvalue().encode()
    for options, key, reverse in [
        (["-k", "price", "-n"], lambda r: int(r[2]), False),
        (["-k", "name,price"], lambda r: (r[1], r[2]), False),
        (["-k", "price", "-n", "-r"], lambda r: int(r[2]), True),
        (["-k", "name", "-u"], lambda r: r[1], False),  # one row per name, multi-line ones too
    ]:
        got = run(["--csv", "-S", "30K", "-T", str(tmp_path)] + options, data)
        assert got.returncode == 0, got.stderr
        out = list(csv.reader(io.StringIO(got.stdout.decode(), newline="")))
        assert out[0] == ["id", "name", "price"]
        if reverse:
            expected = sorted(rows, key=lambda r: (-key(r), int(r[0])))
        else:
            expected = sorted(rows, key=key)
        if "-u" in options:
            expected = [r for i, r in enumerate(expected) if i == 0 or key(expected[i - 1]) != key(r)]
        assert out[1:] == expected, options


def test_csv_reads_what_spreadsheets_write():
    """A byte order mark before the header, a cell beyond the csv module's size limit, and -n
    on one column: an empty cell is null (lowest), a cell that is no number an error."""
    long_note = '"' + "n" * 200_000 + '"'
    rows = ["\ufeffprice,note", f"1e3,{long_note}", ",empty", " 7 ,x", "-2.5,y", "10,z"]
    got = run(["--csv", "-k", "price", "-n"], "\n".join(rows).encode())
    assert got.returncode == 0, got.stderr
    assert got.stdout.decode().split("\n") == [
        "price,note", ",empty", "-2.5,y", " 7 ,x", "10,z", f"1e3,{long_note}", ""]
    got = run(["--csv", "-k", "price", "-n"], "\n".join(rows + ["1_000,w"]).encode())
    assert got.stderr == b'tessarune: -:7: the value of price is not a number: "1_000"\n'


@needs_sort
@pytest.mark.parametrize("options", [[], ["-k2,2", "-r"], ["-z", "-u"]], ids=" ".join)
def test_lines_longer_than_the_reads_across_files(options, tmp_path):
    """Lines of up to 1.5 MiB, some cut by every read, one file without its last line end, in a
    budget that spills."""
    rnd = random.Random(4)
    end = b"\0" if "-z" in options else b"\n"
    lines = [b"%d %s" % (rnd.randrange(5), b"y" * rnd.choice([0, 10, 700_000, 1_500_000]))
             for _ in range(24)]
    first, second = tmp_path / "a", tmp_path / "b"
    first.write_bytes(end.join(lines[:12]))
    second.write_bytes(end.join(lines[12:]) + end)
    spill = tmp_path / "spill"
    spill.mkdir()
    args = options + [str(first), str(second)]
    got = run(["-S", "64K", "-T", str(spill)] + args)
    assert got.returncode == 0, got.stderr
    assert got.stdout == run_sort(args).stdout
    assert os.listdir(spill) == []


ERRORS = [
    (["no-such-file"], b"", "cannot read: no-such-file: No such file or directory"),
    (["--debug"], b"", "option --debug is not supported"),
    (["--compress-program=gzip"], b"", "option --compress-program is not supported"),
    (["--jsonl", "-z"], b"", "-z applies to lines only"),
    (["--csv", "-f"], b"", "apply to lines only"),
    (["--jsonl"], b'1\n{"a":\n', "-:2: not JSON"),
    (["--jsonl"], b'1\n{"a": 1}\n', "-:2: an object has no order of its own"),
    (["--jsonl", "-k", "a.b"], b'{"a":{"b":2}}\n{"a":{"b":[1]}}\n', "-:2: the value of a.b is a list"),
    (["--csv", "-k", "p", "-n"], b"p,q\n1,2\n\n", "-:3: the row has no column p"),
    (["--csv", "-k", "nope"], b"p\n1\n", "-:1: no column 'nope'"),
    (["--csv"], b"a,b\n" * 60000 + b"\xff\n", "-:60001: not UTF-8"),
]


@pytest.mark.parametrize("args, data, message", ERRORS, ids=[e[2] for e in ERRORS])
def test_errors_exit_2_in_one_line(args, data, message):
    got = run(args, data)
    assert got.returncode == 2 and got.stdout == b""
    first = got.stderr.decode("utf-8", "replace").splitlines()[0]
    assert first.startswith("tessarune: ") and message in first, got.stderr


def test_output_replaced_only_on_success(tmp_path):
    target = tmp_path / "out.txt"
    target.write_bytes(b"old\n")
    os.chmod(target, 0o640)
    spill = tmp_path / "spill"
    spill.mkdir()
    good = b"".join(json.dumps({"k": i % 7}).encode() + b"\n" for i in range(3000))
    got = run(["--jsonl", "-k", "k", "-S", "20K", "-T", str(spill), "-o", str(target)],
              good + b"{broken\n")
    assert got.returncode == 2 and b"-:3001: not JSON" in got.stderr
    assert target.read_bytes() == b"old\n"
    assert leftovers(tmp_path, "out.txt", "spill") == [] and os.listdir(spill) == []

    assert run(["-o", str(target), "-", str(target)], b"b\nz\n").returncode == 0
    assert target.read_bytes() == b"b\nold\nz\n"
    assert os.stat(target).st_mode & 0o777 == 0o640


def test_json_nested_too_deep_fails_in_one_line(tmp_path):
    source = tmp_path / "in.jsonl"
    depth = 100_000
    source.write_bytes(b"[1]\n" + b"[" * depth + b"]" * depth + b"\n")
    target = tmp_path / "out"
    target.write_bytes(b"old\n")
    got = run(["--jsonl", "-o", str(target), str(source)])
    assert got.returncode == 2 and got.stdout == b""
    lines = got.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"tessarune: {source}:2: "), got.stderr
    assert target.read_bytes() == b"old\n"
    assert leftovers(tmp_path, "in.jsonl", "out") == []


def shown_on_a_terminal(args):
    """Standard error of the command when it is a terminal: (status, what it showed)."""
    controller, terminal = pty.openpty()
    try:
        proc = subprocess.run([command(), *args], stderr=terminal, stdout=subprocess.DEVNULL,
                              timeout=300)
        os.close(terminal)
        terminal = None
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal's other end is closed
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
        if terminal is not None:
            os.close(terminal)
    return proc.returncode, shown


def test_progress_only_when_asked_and_on_a_terminal(tmp_path):
    src = tmp_path / "in.txt"
    src.write_bytes(b"".join(b"%d\n" % (i * 7919 % 100003) for i in range(200_000)))
    out = str(tmp_path / "out")
    assert shown_on_a_terminal([str(src), "-o", out]) == (0, b"")
    status, shown = shown_on_a_terminal([str(src), "-o", out, "--progress"])
    assert status == 0 and shown != b""
    piped = run([str(src), "-o", out, "--progress"])
    assert (piped.returncode, piped.stderr) == (0, b"")


def test_stats_count_what_the_command_did():
    shown = run(["--stats"], b"b\na\n").stderr.decode()
    assert "items          2" in shown and "runs spilled   0" in shown
    shown = run(["--stats"], b"%015d\n" % 7 * 65536).stderr.decode()
    assert "bytes in       1.0 MiB" in shown  # what was read, not the keys and payloads
    shown = run(["--stats", "-S", "64K"], b"%015d\n" % 7 * 65536).stderr.decode()
    assert int(shown.split("runs spilled")[1].split()[0]) > 0, shown


def test_the_command_and_the_package_say_one_version():
    import tessarune

    got = run(["--version"])
    assert got.returncode == 0
    assert got.stdout.decode() == f"tessarune {tessarune.__version__}\n"
    assert tessarune.__version__.count(".") == 2
