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


def test_csv_matches_the_reference_header_first(tmp_path):
    rnd = random.Random(8)
    cells = ["", "a", "b,c", 'q"q', "two\nlines", "-1.5", "007", " 3", "1_000", "nan", "\u00e9"]
    rows = ["name,n,note"] + [",".join(
        '"' + c.replace('"', '""') + '"' if any(x in c for x in ',"\n') else c
        for c in (rnd.choice(cells), rnd.choice(cells), rnd.choice(cells))) for _ in range(1500)]
    data = ("\ufeff" + "\r\n".join(rows) + "\r\n").encode()
    reader = CsvRows(io.BufferedReader(io.BytesIO(data)), ",", "in")
    header, header_bytes = next(reader)
    key = CsvKey(header, ["n", "name"], "in")
    records = [(key(row), raw) for row, raw in reader]
    got = sorted_by_api(tmp_path, data, format="csv", key="n,name")
    assert got == header_bytes + reference(records, False, False)


@pytest.mark.parametrize("fmt,data,line,message", [
    ("jsonl", b'{"a": 1}\n\n{"a": [1]}\n', 3, "the value of a is a list"),
    ("jsonl", b'{"a": 1}\n{"a": 1\n', 2, "not JSON"),
    ("csv", b"a,b\n1,2\n\"x\ny\",3\n4\n", 5, "the row has no column b"),
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


# Keys as Python gives them: Key objects and per-key lists mean what the -k text says.

from tessarune import Key  # noqa: E402

ODD_RECORDS = [{"a.b": {"c": c}, "x,y:z": z, "n": n} for c, z, n in
               [(2, "q", None), (1, "r", 3), (2, "p", 1), (None, "q", 2), (1, "s", None)]]
ODD_CSV = b"a.b,@name,n\n2,q,\n1,r,3\n2,p,1\n,q,2\n1,s,\n"


def sorted_lines(tmp_path, fmt, key, **options):
    source = tmp_path / f"in.{fmt}"
    if fmt == "jsonl":
        source.write_text("".join(json.dumps(r) + "\n" for r in ODD_RECORDS))
    else:
        source.write_bytes(ODD_CSV)
    out = io.BytesIO()
    sort_files([str(source)], out, format=fmt, key=key, **options)
    return out.getvalue()


@pytest.mark.parametrize("fmt,key,options,text", [
    ("jsonl", [Key(("a.b", "c")), Key("n", type="number", descending=True, nulls_last=True)], {},
     '"a.b".c,n:number:desc:nulls_last'),
    ("jsonl", ['"x,y:z":r', Key("n", type="number")], {"reverse": [False, True], "nulls_last": [None, True]},
     '"x,y:z":desc,n:number:desc:nulls_last'),
    ("jsonl", "n", {"numeric": True, "reverse": True}, "n:number:desc"),
    ("csv", [Key(0, type="number"), Key(("@name",))], {"nulls_last": True},
     "@1:number:nulls_last,\"@name\":nulls_last"),
    ("csv", [Key(2, type="number", descending=True)], {"header": True}, "n:number:desc"),
])
def test_key_objects_and_lists_mean_what_the_key_text_says(tmp_path, fmt, key, options, text):
    got = sorted_lines(tmp_path, fmt, key, **options)
    assert got == sorted_lines(tmp_path, fmt, text)
    given = (tmp_path / f"in.{fmt}").read_bytes()
    assert got != given and sorted(got.splitlines()) == sorted(given.splitlines()), "the case orders the records"


@pytest.mark.parametrize("fmt,key,options,error,match", [
    ("jsonl", "n,a.b.c", {"reverse": [True]}, ValueError, "reverse has 1 items for 2 keys"),
    ("jsonl", "n", {"reverse": [1]}, TypeError, "reverse must hold bools"),
    ("jsonl", "n", {"nulls_last": "yes"}, TypeError, "nulls_last must hold None or bools"),
    ("jsonl", "n:nulls_first", {"nulls_last": True}, ValueError, "has its own place for nulls"),
    ("jsonl", "n:desc:r", {}, ValueError, "a second direction 'r'"),
    ("jsonl", "n:big", {}, ValueError, "unknown option 'big'"),
    ("jsonl", ",n", {}, ValueError, "an empty name"),
    ("jsonl", 'n"b', {}, ValueError, "a quote inside a name"),
    ("jsonl", '"n"b', {}, ValueError, "a quoted name must be followed"),
    ("jsonl", [Key("n:desc")], {}, ValueError, "a name alone"),
    ("jsonl", [Key(2)], {}, ValueError, "for CSV only"),
    ("jsonl", "n,a.b.c", {"numeric": True}, ValueError, "-n applies to a single key"),
    ("csv", "@0", {}, ValueError, "a column number from 1"),
    ("csv", "n", {"header": False}, ValueError, "without a header"),
    ("csv", [Key(("a", "b"))], {}, ValueError, "one name"),
    ("lines", ["1", 2], {}, TypeError, "a key of lines is a str"),
    ("lines", "1", {"nulls_last": True}, ValueError, "nulls_last applies to keys of JSON Lines"),
    ("jsonl", 5, {}, TypeError, "key must be"),
])
def test_keys_that_mean_nothing_are_refused(tmp_path, fmt, key, options, error, match):
    with pytest.raises(error, match=match):
        sorted_lines(tmp_path, "jsonl" if fmt == "lines" else fmt, key, **options) if fmt != "lines" else \
            sort_files([], io.BytesIO(), format="lines", key=key, **options)


# Inputs that are file objects or globs; keys that are functions; arguments of the wrong shape.


class _ReadOnly:
    """A binary stream with read alone, a few bytes a call, named when given a name."""

    def __init__(self, data, name=None):
        self.data = io.BytesIO(data)
        if name is not None:
            self.name = name

    def read(self, n):
        return self.data.read(min(n, 5))


def test_file_objects_and_globs_read_as_the_paths_they_hold(tmp_path):
    rnd = random.Random(3)
    chunks = [b"".join(b"%d\n" % rnd.randrange(1000) for _ in range(rnd.randint(0, 400))) for _ in range(4)]
    for i, chunk in enumerate(chunks):
        (tmp_path / f"part-{i}.txt").write_bytes(chunk)
    expected = io.BytesIO()
    sort_files([str(tmp_path / f"part-{i}.txt") for i in range(4)], expected, key="1n")
    got = io.BytesIO()
    with open(tmp_path / "part-1.txt", "rb") as opened:
        sort_files([str(tmp_path / "part-0.txt"), opened, io.BytesIO(chunks[2]), _ReadOnly(chunks[3])],
                   got, key="1n")
    assert got.getvalue() == expected.getvalue()
    globbed = io.BytesIO()
    sort_files(str(tmp_path / "part-*.txt"), globbed, key="1n")
    assert globbed.getvalue() == expected.getvalue()
    with pytest.raises(FileNotFoundError, match="none-\\*.txt matches no file"):
        sort_files([str(tmp_path / "part-0.txt"), str(tmp_path / "none-*.txt")], io.BytesIO())


def test_a_file_object_is_named_in_errors_and_its_own_exception_is_raised(tmp_path):
    bad = b'{"a": 1}\n{"a": [2]}\n'
    for stream, name in [(io.BytesIO(bad), "<stream 0>"), (_ReadOnly(bad, "events.jsonl"), "events.jsonl"),
                         (_ReadOnly(bad, "-"), "<stream 0>")]:
        with pytest.raises(InputError) as e:
            sort_files([stream], io.BytesIO(), format="jsonl", key="a")
        assert str(e.value).startswith(f"{name}:2: ")

    class Failing(io.RawIOBase):
        def __init__(self):
            self.error, self.calls = LookupError("the disk went away"), 0

        def readinto(self, b):
            self.calls += 1
            if self.calls == 3:
                raise self.error
            b[:2] = b"x\n"
            return 2

    failing = Failing()
    with pytest.raises(LookupError) as e:
        sort_files([failing], io.BytesIO())
    assert e.value is failing.error


def test_ctrl_c_in_a_file_objects_read_stops_the_sort(tmp_path):
    spill = tmp_path / "spill"
    spill.mkdir()

    class Interrupted(io.RawIOBase):
        def __init__(self):
            self.calls, self.spilled = 0, False

        def readinto(self, b):
            self.calls += 1
            if self.calls == 2000:
                self.spilled = any(spill.iterdir())
                signal.raise_signal(signal.SIGINT)
            line = b"%08d\n" % (self.calls * 7919 % 100003)
            b[:len(line)] = line
            return len(line)

    stream = Interrupted()
    with pytest.raises(KeyboardInterrupt):
        sort_files([stream], io.BytesIO(), max_bytes=4 << 10, tmp_dir=str(spill))
    assert stream.spilled, "the sort never spilled"
    assert list(spill.iterdir()) == []


def jsonl_lines(rnd, n):
    return [json.dumps({"k": rnd.choice([1, 2.5, "x", None, [1, "a"]]), "n": i}).encode() for i in range(n)]


@pytest.mark.parametrize("reverse,unique", [(False, False), (True, True)])
def test_a_key_function_sorts_as_sorted_does(reverse, unique, tmp_path):
    import gzip

    rnd = random.Random(11)
    lines = jsonl_lines(rnd, 3000)
    (tmp_path / "a.jsonl.gz").write_bytes(gzip.compress(b"\xef\xbb\xbf" + b"\n \n".join(lines[:1000])))
    rest = b"\n".join(lines[1000:])  # no newline at the end
    key = lambda rec: (rec["k"] is None, str(rec["k"]))  # noqa: E731
    out = tmp_path / "out.jsonl.gz"
    report = sort_files([str(tmp_path / "a.jsonl.gz"), io.BytesIO(rest)], str(out), format="jsonl",
                        key=key, reverse=reverse, unique=unique, max_bytes=16 << 10, tmp_dir=str(tmp_path))
    records = [(key_bytes(key(json.loads(line))), line + b"\n") for line in lines]
    assert gzip.decompress(out.read_bytes()) == reference(records, reverse, unique)
    assert report.stats.runs_spilled > 0
    got = io.BytesIO()
    sort_files([io.BytesIO(b"b\na\r\nc")], got, key=lambda line: line[::-1])
    assert got.getvalue() == b"a\r\nb\nc\n"


def test_a_key_functions_error_names_input_and_line():
    def key(rec):
        return rec["k"]

    with pytest.raises(KeyError) as e:
        sort_files([io.BytesIO(b'{"k": 1}\n\n{"j": 2}\n')], io.BytesIO(), format="jsonl", key=key)
    assert e.value.__notes__ == ["in <stream 0>, line 3"]


@pytest.mark.parametrize("args,error,match", [
    (dict(output=5), TypeError, "output must be"),
    (dict(inputs=[3]), TypeError, "an input must be a path or a binary file object, not 3"),
    (dict(inputs=[io.StringIO("a\n")]), TypeError, "must be binary"),
    (dict(max_bytes=-1), ValueError, "max_bytes must be from 2"),
    (dict(max_bytes=1 << 70), ValueError, "max_bytes must be from 2"),
    (dict(threads=0), ValueError, "threads must be from 1"),
    (dict(max_open="8"), TypeError, "max_open must be an int"),
    (dict(format="xml"), ValueError, "format must be one of"),
    (dict(header=False), ValueError, "header=False applies to CSV only"),
    (dict(key=["1", 2]), TypeError, "a key of lines is a str"),
    (dict(key=len, numeric=True), ValueError, "numeric apply to a key given by name"),
    (dict(key=len, reverse=[True]), ValueError, "reverse is one bool"),
    (dict(key=len, format="csv"), ValueError, "CSV key is given by column names"),
])
def test_arguments_of_the_wrong_shape_are_refused(args, error, match, tmp_path):
    src = tmp_path / "in"
    src.write_bytes(b"a\n")
    call = dict(inputs=[str(src)], output=io.BytesIO()) | args
    with pytest.raises(error, match=match):
        sort_files(call.pop("inputs"), call.pop("output"), **call)


def test_the_stub_describes_key_as_the_runtime_does():
    import ast
    import inspect
    import pathlib

    import tessarune

    tree = ast.parse((pathlib.Path(tessarune.__file__).parent / "__init__.pyi").read_text())
    stub = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Key")
    assert ast.get_docstring(stub) == inspect.cleandoc(Key.__doc__)
    assert Key("a") == Key("a") and hash(Key(("a", "b"))) == hash(Key(("a", "b")))
