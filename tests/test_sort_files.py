"""tessarune.sort_files against the Python reference keying (tests/reference_line_keys.py, tests/reference_formats.py), end to end
through the native job: spilled and held, reversed, unique, across small reads, with the rare
JSON lines the native reading declines, bad records named by file and line, and Ctrl-C."""

import io
import json
import os
import random
import signal
import threading
import time

import pytest

import tessarune.files as files
from tessarune import key_bytes, sort_files
from reference_formats import CsvKey, CsvRows, JsonKey
from tessarune import InputError
from reference_line_keys import LineKey, parse_key, whole_line_part

COMPLEMENT = bytes(255 - i for i in range(256))


def reference(records, reverse, unique):
    """records: (key bytes, payload) in input order; the stable sort and -u as the engine does."""
    keyed = [(k.translate(COMPLEMENT) if reverse else k, i, p) for i, (k, p) in enumerate(records)]
    keyed.sort()
    out, previous = [], None
    for k, _, p in keyed:
        if not (unique and k == previous):
            out.append(p)
        previous = k
    return b"".join(out)


def sorted_by_api(tmp_path, data, **kw):
    src = tmp_path / "in"
    src.write_bytes(data)
    out = tmp_path / "out"
    sort_files([str(src)], str(out), max_bytes=16 << 10, tmp_dir=str(tmp_path), **kw)
    return out.read_bytes()


def random_lines(rnd, n):
    words = [b"a", b"B", b" ", b"\t", b"-", b".", b"0", b"7", b"12", b"-3.25", b"x:y", b"\xff", b"\x00"]
    return [b"".join(rnd.choice(words) for _ in range(rnd.randint(0, 8))) for _ in range(n)]


@pytest.fixture(autouse=True)
def small_reads(monkeypatch):
    """Reads of a few hundred records, so that records are cut across reads everywhere."""
    monkeypatch.setattr(files, "_MOST_PER_READ", 1021)


@pytest.mark.parametrize("seed", range(6))
def test_lines_match_the_reference(seed, tmp_path):
    rnd = random.Random(seed)
    lines = random_lines(rnd, 2000)
    specs = rnd.choice([["2,2"], ["1.2,2.3n"], ["3", "1,1"], ["2b,2n"], []])
    flags = {"b": rnd.random() < 0.3, "n": rnd.random() < 0.3, "r": rnd.random() < 0.5}
    tab = rnd.choice([None, b":", b" "])
    unique = rnd.random() < 0.3
    parts = [parse_key(s, flags) for s in specs] or [whole_line_part(flags)]
    keyed = bool(specs or flags["b"] or flags["n"])
    # A whole line's key is the line as a bytes key; field keys reverse themselves part by part.
    key = LineKey(parts, tab) if keyed else key_bytes
    expected = reference([(key(line), line + b"\n") for line in lines], flags["r"] and not keyed,
                         unique)
    got = sorted_by_api(tmp_path, b"\n".join(lines), key=specs, numeric=flags["n"],
                        reverse=flags["r"], ignore_blanks=flags["b"], unique=unique,
                        field_separator=tab)
    assert got == expected, (seed, specs, flags, tab, unique)


def json_records(rnd, n):
    plain = [{"user": {"id": rnd.randint(-5, 5)}, "ts": rnd.choice(["a", "b", "\u00e9", "\U0001F600"])}
             for _ in range(n)]
    lines = [json.dumps(r, ensure_ascii=rnd.random() < 0.5).encode() for r in plain]
    odd = [b'{"user": {"id": 123456789012345678901234567890}, "ts": "x"}',  # beyond 64 bits
           b'{"user": {"id": NaN}}', b'{"ts": "\\ud800"}', b'{"user": {"id": 1e400}}',
           b'{"user": {"id": 1}, "user": {"id": -1.5}}', b'  ', b'\t\r', b'[1, 2]', b'7', b'"s"']
    for line in odd:
        lines.insert(rnd.randrange(len(lines)), line)
    return lines


@pytest.mark.parametrize("reverse,unique", [(False, False), (True, False), (False, True)])
def test_jsonl_matches_the_reference(reverse, unique, tmp_path):
    rnd = random.Random(7)
    lines = json_records(rnd, 1500)
    keyer = JsonKey(["user.id", "ts"])
    records = [(key_bytes(keyer(json.loads(line))), line + b"\n") for line in lines if not line.isspace()]
    got = sorted_by_api(tmp_path, b"\xef\xbb\xbf" + b"\n".join(lines), format="jsonl",
                        key="user.id,ts", reverse=reverse, unique=unique)
    assert got == reference(records, reverse, unique)


@pytest.mark.parametrize("numeric", [False, True])
def test_csv_matches_the_reference_header_first(numeric, tmp_path):
    rnd = random.Random(8)
    cells = ["", "a", "b,c", 'q"q', "two\nlines", "-1.5", "007", " 3", "1_000", "nan", "\u00e9"]
    rows = ["name,n,note"] + [",".join(
        '"' + c.replace('"', '""') + '"' if any(x in c for x in ',"\n') else c
        for c in (rnd.choice(cells), rnd.choice(cells), rnd.choice(cells))) for _ in range(1500)]
    data = ("\ufeff" + "\r\n".join(rows) + "\r\n").encode()
    reader = CsvRows(io.BufferedReader(io.BytesIO(data)), ",", "in")
    header, header_bytes = next(reader)
    key = CsvKey(header, ["n", "name"], numeric, "in")
    records = [(key(row), raw) for row, raw in reader]
    got = sorted_by_api(tmp_path, data, format="csv", key="n,name", numeric=numeric)
    assert got == header_bytes + reference(records, False, False)


@pytest.mark.parametrize("fmt,data,line,message", [
    ("jsonl", b'{"a": 1}\n\n{"a": [1]}\n', 3, "the value of a is a list"),
    ("jsonl", b'{"a": 1}\n{"a": 1\n', 2, "not JSON"),
    ("csv", b"a,b\n1,2\n\"x\ny\",3\n4\n", 5, "the row has no column 'b'"),
    ("csv", b"a,b\n" + b"1,2\n" * 5000 + b"3,\xff\n", 5002, "not UTF-8"),
    ("csv", b"a,b\n1,\"2\n", 2, "not CSV: unexpected end of data"),
    ("csv", b"\xef\xbb\xbfa,b\n1,2\n", None, None),  # the mark is no part of the first column
])
def test_bad_records_are_named_by_file_and_line(fmt, data, line, message, tmp_path):
    src = tmp_path / "in"
    src.write_bytes(data)
    if line is None:
        sort_files([str(src)], io.BytesIO(), format=fmt, key="a")
        return
    with pytest.raises(InputError) as e:
        sort_files([str(src)], io.BytesIO(), format=fmt, key="a" if fmt == "jsonl" else "b")
    assert str(e.value).startswith(f"{src}:{line}: {message}")


def test_csv_fields_of_any_size(tmp_path):
    big = "x" * (300 << 10)
    data = f'k,v\n"{big}",1\nb,2\n'.encode()
    assert sorted_by_api(tmp_path, data, format="csv", key="k") == f'k,v\nb,2\n"{big}",1\n'.encode()


class _Interrupting:
    """An output handle whose first write raises this very KeyboardInterrupt."""

    def __init__(self):
        self.interrupt = KeyboardInterrupt("from write")

    def write(self, data):
        raise self.interrupt


@pytest.mark.parametrize("how", ["signal while reading", "raised by write"])
def test_ctrl_c_leaves_no_spill_and_no_temporary_output(how, tmp_path):
    spill, out_dir = tmp_path / "spill", tmp_path / "out"
    spill.mkdir()
    out_dir.mkdir()
    target = out_dir / "sorted"
    target.write_bytes(b"old\n")
    data = b"".join(b"%08d\n" % (i * 7919 % 100003) for i in range(100000))
    run = dict(max_bytes=64 << 10, tmp_dir=str(spill))
    if how == "raised by write":
        (tmp_path / "in").write_bytes(data)
        handle = _Interrupting()
        with pytest.raises(KeyboardInterrupt) as e:
            sort_files([str(tmp_path / "in")], handle, **run)
        assert e.value is handle.interrupt
    else:
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        spilled = []

        def writer():
            with open(fifo, "wb") as f:
                f.write(data)
                f.flush()
                for _ in range(1000):  # the spill directory exists from the first spill on
                    if any(spill.iterdir()):
                        spilled.append(True)
                        break
                    time.sleep(0.01)
                signal.raise_signal(signal.SIGINT)
                try:
                    f.write(b"more\n")  # wakes the read, which then polls
                    f.flush()
                except BrokenPipeError:
                    pass

        thread = threading.Thread(target=writer)
        thread.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                sort_files([str(fifo)], str(target), **run)
        finally:
            thread.join()
        assert spilled, "the sort never spilled"
    assert list(spill.iterdir()) == []
    assert [p.name for p in out_dir.iterdir()] == ["sorted"]
    assert target.read_bytes() == b"old\n"


class _ShortWrites(io.RawIOBase):
    """A raw stream that takes at most 7 bytes a call, and sometimes none (None: it would block)."""

    def __init__(self, fd):
        self.data, self.calls, self.fd = bytearray(), 0, fd

    def writable(self):
        return True

    def write(self, b):
        self.calls += 1
        if self.calls % 3 == 0:
            return None
        self.data += bytes(b[:7])
        return min(len(b), 7)

    def fileno(self):  # what a raw stream that would block is waited on
        return self.fd


class _Bars:
    """Records the bars sort_files draws: (desc, total, unit, sum of updates, closed)."""

    def __init__(self):
        self.drawn = []

    def bar(self, desc, total, unit):
        drawn = self.drawn
        record = [desc, total, unit, 0, False]
        drawn.append(record)

        class Bar:
            def update(self, n):
                record[3] += n

            def close(self):
                record[4] = True

        return Bar()


def test_short_writes_and_progress_bars_account_for_everything(tmp_path, monkeypatch):
    bars = _Bars()
    monkeypatch.setattr(files, "Progress", lambda enabled: bars)
    lines = [b"%d" % (i * 37 % 1000) for i in range(3000)]
    src = tmp_path / "in"
    src.write_bytes(b"\n".join(lines) + b"\n")
    out = _ShortWrites(os.open(os.devnull, os.O_WRONLY))
    try:
        report = sort_files([str(src)], out, key="1n", max_bytes=16 << 10, tmp_dir=str(tmp_path),
                            progress=True)
    finally:
        os.close(out.fd)
    assert bytes(out.data) == b"".join(l + b"\n" for l in sorted(lines, key=int))
    size = src.stat().st_size
    assert report.bytes_read == size and report.stats.runs_spilled > 0
    assert bars.drawn == [["reading", size, "B", size, True],
                             ["writing", len(lines), "items", len(lines), True]]
