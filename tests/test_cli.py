"""The tessarune command: its output against an oracle, its errors, and how it ends."""

import csv
import io
import json
import os
import pty
import random
import shutil
import signal
import subprocess
import sys
import time

import pytest

from tessarune import Sorter

CMD = [sys.executable, "-m", "tessarune"]
GNU_SORT = shutil.which("sort")


def run(args, data=b"", **kw):
    return subprocess.run(CMD + args, input=data, capture_output=True, timeout=120, **kw)


def random_lines(seed, n):
    rnd = random.Random(seed)
    words = [b"a", b"B", b"b", b" ", b"\t", b"-", b".", b"0", b"7", b"12", b"-3.25", b"x:y", b"\r",
             b"999999999999999999999", b"\x00", b"\x01", b"\xff"]
    lines = [b"".join(rnd.choice(words) for _ in range(rnd.randint(0, 7))) for _ in range(n)]
    return b"\n".join(lines) + b"\nlast line without newline"


LINE_OPTIONS = [
    [], ["-r"], ["-u"], ["-n"], ["-n", "-r"], ["-b"], ["-z"],
    ["-k2"], ["-k2,2", "-k1,1"], ["-k1.3,1.5"], ["-k2.2b,3.1"],
    ["-k2n", "-k1,1"], ["-k2,2n", "-r"], ["-t", ":", "-k2"], ["-t", ":", "-k1.2,2.3n", "-u"],
    ["-b", "-k2,2"], ["-r", "-k3"], ["-k3,2", "-k1,2.0n"],
    ["-k5000000000"], ["-k2,99999999999999999999b", "-t", ":"],  # fields past every line's end
    ["-f", "-u"], ["-d", "-r"], ["-i"], ["-g"], ["-h", "-u"], ["-M"], ["-V"], ["--sort=version", "-z"],
    ["-k2,2Vr", "-k1,1f"], ["-t", ":", "-k2g", "-k1,1dr"], ["-k1.2,1.4h", "-k2M"],
]


@pytest.mark.skipif(GNU_SORT is None, reason="needs the sort command as the oracle")
@pytest.mark.parametrize("spill", [False, True], ids=["memory", "spilled"])
@pytest.mark.parametrize("options", LINE_OPTIONS, ids=" ".join)
def test_lines_match_c_locale_sort(options, spill, tmp_path):
    data = random_lines(len(options), 3000 if spill else 300)
    if "-z" in options:
        data = data.replace(b"\n", b"\0")
    resources = ["-S", "20K", "--max-open", "2", "-T", str(tmp_path)] if spill else []
    expected = subprocess.run([GNU_SORT, "-s", *options], input=data, capture_output=True,
                              env={"LC_ALL": "C"}, check=True).stdout
    got = run(resources + options, data)
    assert got.returncode == 0, got.stderr
    assert got.stdout == expected
    assert list(tmp_path.iterdir()) == []


def test_empty_input_and_crlf_kept():
    assert run([]).stdout == b""
    assert run(["-r"], b"b\r\na\r\nc").stdout == b"c\nb\r\na\r\n"


def test_lines_across_reads_and_files(tmp_path, monkeypatch):
    """Reads far smaller than the lines: every line is cut somewhere, some several times."""
    import tessarune.cli as cli
    import tessarune.files as files

    monkeypatch.setattr(files, "READ_SIZE", 7)
    rnd = random.Random(4)
    lines = [b"%d" % rnd.randrange(10**rnd.randint(1, 30)) for _ in range(500)] + [b"z" * 100]
    first, second = tmp_path / "a", tmp_path / "b"
    first.write_bytes(b"\n".join(lines[:250]))  # no final newline: one comes in between
    second.write_bytes(b"\n".join(lines[250:]) + b"\n")
    out = tmp_path / "out"
    for reverse in [False, True]:
        assert cli.main([str(first), str(second), "-o", str(out)] + ["-r"] * reverse) == 0
        assert out.read_bytes() == b"".join(x + b"\n" for x in sorted(lines, reverse=reverse))


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
    cells read as on lines (no number reads as 0)."""
    long_note = '"' + "n" * 200_000 + '"'
    rows = ["\ufeffprice,note", f"1_000,{long_note}", ",empty", "nan,x", "-2.5,y", "10,z"]
    got = run(["--csv", "-k", "price", "-n"], "\n".join(rows).encode())
    assert got.returncode == 0, got.stderr
    assert got.stdout.decode().split("\n") == [
        "price,note", "-2.5,y", ",empty", "nan,x", f"1_000,{long_note}", "10,z", ""]


@pytest.mark.parametrize("args, data, status, message", [
    (["no-such-file"], b"", 2, "cannot read no-such-file"),
    (["-nM"], b"", 2, "options '-Mn' are incompatible"),
    (["--debug"], b"", 2, "option --debug is not supported"),
    (["--compress-program=gzip"], b"", 2, "option --compress-program is not supported"),
    (["-k2x"], b"", 2, "stray character in field spec: invalid field specification '2x'"),
    (["-k0"], b"", 2, "invalid field specification '0'"),
    (["-S", "lots"], b"", 2, "invalid size 'lots'"),
    (["--jsonl"], b'1\n{"a":\n', 2, "-:2: not JSON"),
    (["--jsonl", "-k", "a.b"], b'{"a":{"b":2}}\n{"a":{"b":[1]}}\n', 2, "-:2: the value of a.b is a list"),
    (["--csv", "-k", "p", "-n"], b"p,q\n1,2\n\n", 2, "-:3: the row has no column 'p'"),
    (["--csv", "-k", "nope"], b"p\n1\n", 2, "-:1: no column 'nope'"),
    (["--csv"], b"a,b\n" * 60000 + b"\xff\n", 2, "-:60001: not UTF-8: can't decode byte 0xff: invalid start byte"),
    (["-T", "/no/such/dir"], b"a\n", 1, "/no/such/dir"),
])
def test_errors_exit_with_status_and_message(args, data, status, message):
    got = run(args, data)
    assert got.returncode == status
    assert message in got.stderr.decode()
    assert got.stdout == b""


def test_output_replaced_only_on_success(tmp_path):
    target = tmp_path / "out.txt"
    target.write_bytes(b"old\n")
    os.chmod(target, 0o640)
    spill = tmp_path / "spill"
    spill.mkdir()
    good = b"".join(json.dumps({"k": i % 7}).encode() + b"\n" for i in range(3000))
    bad = good + b"{broken\n"
    got = run(["--jsonl", "-k", "k", "-S", "20K", "-T", str(spill), "-o", str(target)], bad)
    assert got.returncode == 2 and b"-:3001: not JSON" in got.stderr
    assert target.read_bytes() == b"old\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.txt", "spill"]
    assert list(spill.iterdir()) == []

    got = run(["-o", str(target), str(target)], b"")  # the input may be the output
    assert got.returncode == 0
    assert target.read_bytes() == b"old\n"
    assert run(["-o", str(target), "-", str(target)], b"b\nz\n").returncode == 0
    assert target.read_bytes() == b"b\nold\nz\n"
    assert os.stat(target).st_mode & 0o777 == 0o640


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE],
                         ids=lambda s: s.name)
def test_signal_leaves_no_output_and_no_spill_directory(sig, tmp_path):
    spill = tmp_path / "spill"
    spill.mkdir()
    target = tmp_path / "out"
    proc = subprocess.Popen(CMD + ["-S", "64K", "-T", str(spill), "-o", str(target)],
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    # Enough to spill, then the input stays open, so the command is busy when it is stopped.
    proc.stdin.write(random_lines(1, 20000) + b"\n")
    proc.stdin.flush()
    deadline = time.monotonic() + 60
    while not any(spill.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert any(spill.iterdir()), "the command never spilled"
    proc.send_signal(sig)
    assert proc.wait(timeout=60) == 128 + sig
    proc.stdin.close()
    assert proc.stderr.read() == b""
    assert list(spill.iterdir()) == []
    assert list(tmp_path.iterdir()) == [spill]


def test_progress_on_a_terminal_only(tmp_path):
    src = tmp_path / "in.txt"
    src.write_bytes(random_lines(2, 5000) + b"\n")
    piped = run([str(src)])
    assert piped.returncode == 0 and piped.stderr == b""

    controller, terminal = pty.openpty()
    try:
        proc = subprocess.run(CMD + [str(src), "-o", str(tmp_path / "out")], stderr=terminal,
                              stdout=subprocess.DEVNULL, timeout=120)
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
    assert proc.returncode == 0
    assert b"reading" in shown and b"writing" in shown
    assert run([str(src), "--progress"]).stderr.count(b"reading") >= 1


def test_stats_count_what_the_engine_did(tmp_path):
    rnd = random.Random(3)
    lines = [b"%08d\n" % rnd.randrange(10**8) for _ in range(20000)]
    with Sorter(max_bytes=64 * 1024, max_open=2, tmp_dir=tmp_path) as s:
        for line in lines:
            s.add_encoded(line[:-1], line)
        before = s.stats()
        assert before.items == 20000 and before.bytes_in == 20000 * (11 + 9)  # key: tag, 8, end
        assert before.runs_spilled >= 3 and before.read_seconds == 0
        assert 0 < before.peak_memory <= 64 * 1024
        out = io.BytesIO()
        s.write_to(out)
        after = s.stats()
    assert after.merge_passes == after.runs_spilled - 2  # one run fewer a pass, down to 2
    assert after.bytes_spilled > before.bytes_spilled  # passes rewrite what spills wrote
    assert 0 < after.bytes_spilled_compressed
    assert after.read_seconds > 0 and after.fill_seconds >= before.fill_seconds
    shown = run(["--stats"], b"b\na\n").stderr.decode()
    assert "items          2" in shown and "runs spilled   0" in shown
    shown = run(["--stats"], b"%015d\n" % 7 * 65536).stderr.decode()
    assert "bytes in       1.0 MiB" in shown  # what was read, not the keys and payloads
