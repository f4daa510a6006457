"""JSON Lines and CSV records ordered by typed keys (text, number, timestamp), each ascending or
descending with its nulls placed, by the command and by sort_files against the reference in
reference_records.py, spilling under a small -S; -m and -c on records; and what both refuse."""

import csv
import datetime
import io
import json
import pathlib
import random

import pytest

import tessarune
from command import first_line, run
from reference_records import (FIRST_SECOND, LAST_SECOND, N_MESSAGE, RecordError, Refused,
                               first_disorder, parse_keys, sort_records)

TEXTS = ["", "10", "9", "1e3", "abc", "Abc", "\u00e9", "\u20ac", "\U0001f600", "a b", "x,y", 'q"', "null"]
SECONDS = [0, -1, 951_782_400, 1_700_000_000, FIRST_SECOND + 5 * 86400, LAST_SECOND - 5 * 86400]
BAD_TIMES = ["yesterday", "2021-02-29", "1900-02-29", "2020-13-01", "2020-01-32", "2020-01-01T24:00",
             "2020-01-01T23:60", "2020-01-01T23:59:60", "2020-01-01T10:00+24:00", "2020-01-01T10:00+05:60",
             "0000-12-31", "2020-1-01", "2020-01-01T10", "2020-01-01T10:00:00.", "2020-01-01T10:00Zx",
             "0001-01-01T00:00+00:01", "9999-12-31T23:59:59.5-00:01", "2020-01-01  10:00", "2020-01-01T10:00:00,5"]
BAD = {"jsonl": {"number": ["10", True, [1], {"a": 1}, "abc"], "text": [[1, 2], {"k": 1}],
                 "timestamp": BAD_TIMES + [253402300800, -62135596801, 1e300, True, [1], "1700000000"]},
       "csv": {"number": ["abc", "nan", "1_000", "1,5", "0x10", "inf", "1e", "+", ".", "- 1"], "text": [],
               "timestamp": BAD_TIMES + ["253402300800", "1e400", "nan"]}}
JSON_KEYS = [("n", "number"), ("n", "text"), ("ts", "timestamp"), ("ts", "text"), ("s", "text"),
             ("u.id", "number"), ('"a.b".c', "text"), ('"x,y:z"', "timestamp"), ('""', "number")]
HEADER = ["n", "ts", "s", "a.b", "x,y:z", "@w"]
COLUMNS = [("n", ["number", "text"]), ("ts", ["timestamp", "text"]), ("s", ["text"]), ("a.b", ["number"]),
           ('"x,y:z"', ["text"]), ('"@w"', ["timestamp", "text"])]


def number(r):
    return r.choice([r.randrange(-5, 6), r.randrange(-5, 6) + 0.5, float(r.randrange(-5, 6)), -0.0, 2**64 + r.randrange(3),
                     -(2**70), 10**30, 1e30, 2**53 + 1, float(2**53), r.uniform(-1e6, 1e6), 1e300, float("nan")])


def timestamp(r):
    """A timestamp in one of its forms, near a few instants so that forms and offsets tie."""
    seconds = r.choice(SECONDS) + r.randrange(-3, 4) * r.choice([1, 60, 3600, 86400])
    nanos = r.choice([0, 5, 500_000_000, 999_999_999, r.randrange(10**9)])
    form, offset = r.randrange(6), r.choice([0, 0, 60, -90, 330, -720, 1439, -1439])
    if form < 2:
        return seconds if form == 0 else seconds + nanos / 1e9
    wall = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds + offset * 60)
    text = f"{wall.year:04d}-{wall.month:02d}-{wall.day:02d}"
    if form == 2:
        return text
    text += r.choice("Tt ") + f"{wall.hour:02d}:{wall.minute:02d}"
    if form > 3:
        text += f":{wall.second:02d}" + ("." + f"{nanos:09d}123"[:r.randint(1, 12)] if form == 5 else "")
    sign, (h, m) = "-" if offset < 0 else "+", divmod(abs(offset), 60)
    return text + r.choice(["", "Z", "z", f"{sign}{h:02d}:{m:02d}", f"{sign}{h:02d}{m:02d}"] + [f"{sign}{h:02d}"] * (m == 0))


def scalar(r):
    return r.choice([r.choice(TEXTS), r.choice(TEXTS), number(r), r.choice([True, False, None])])


def cell(r, kind):
    if kind == "text":
        return r.choice(TEXTS + ["multi\nline", " 10", ""])
    if r.random() < 0.1:
        return r.choice(["", " ", "\t "])
    value = (r.choice(["0", "-0", "+3", "3.", ".5", "-.5", "2.50", "1e1", "1E+1", "-2e-3", "1e400",
                       str(2**64 + r.randrange(3))])
             if kind == "number" else str(timestamp(r)))
    return r.choice(["", " ", "\t"]) + value + r.choice(["", " \t"])


def json_record(r):
    record = {"n": number(r), "ts": timestamp(r), "s": scalar(r), "a.b": {"c": scalar(r)}, "x,y:z": timestamp(r),
              "": number(r), "u": r.choice([{"id": number(r)}, {"v": 1, "id": number(r)}, {"id": None}, scalar(r), [1]])}
    for name in r.sample(sorted(record), r.randrange(4)):
        if r.random() < 0.5:
            del record[name]
        else:
            record[name] = None
    return record


def csv_text(rows):
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    return text.getvalue().encode()


class Case:
    """Generated records, keys in the command's syntax and the global options."""

    def __init__(self, seed, fmt, header=True, count=None, spoil=True):
        r = self.r = random.Random(seed)
        self.fmt, self.header = fmt, header
        count = count or r.choice([1, 20, 300, 3000, 3000])
        if fmt == "jsonl":
            pool = JSON_KEYS
        else:
            pool = [(f"@{i + 1}" if not header or r.random() < 0.3 else name, t)
                    for i, (name, types) in enumerate(COLUMNS) for t in types]
        self.wanted = [self.want(name, kind) for name, kind in r.sample(pool, r.randint(1, 3))]
        self.reverse, self.unique = r.random() < 0.3, r.random() < 0.3
        self.numeric = len(self.wanted) == 1 and self.wanted[0]["type"] == "number" and r.random() < 0.5
        if self.numeric:
            self.wanted[0]["typed"] = False
        if fmt == "jsonl":
            self.records = [json_record(r) for _ in range(count)]
        else:
            kinds = [types[0] for _, types in COLUMNS]
            self.records = [[cell(r, kind) for kind in kinds] for _ in range(count)]
        if spoil and r.random() < 0.3:
            self.spoil(r)

    def want(self, name, kind):
        r = self.r
        return {"name": name, "type": kind, "typed": kind != "text" or r.random() < 0.3,
                "type_as": "n" if kind == "number" and r.random() < 0.3 else kind,
                "direction": r.choice([None, "asc", "desc", "r"]), "nulls": r.choice([None, "nulls_first", "nulls_last"])}

    def spoil(self, r):
        """One bad value for one key in one record."""
        want = r.choice(self.wanted)
        bad = BAD[self.fmt][want["type"]]
        if not bad:
            return
        record, value = r.choice(self.records), r.choice(bad)
        key = parse_keys([want["name"]], self.fmt, self.header)[0]
        if self.fmt == "csv":
            record[key.column if key.column is not None else HEADER.index(key.steps[0])] = value
            return
        for step in key.steps[:-1]:
            if not isinstance(record.get(step), dict):
                record[step] = {}
            record = record[step]
        record[key.steps[-1]] = value

    def text(self, want, options=True):
        parts = [want["type_as"]] * want["typed"] + [o for o in (want["direction"], want["nulls"]) if o and options]
        self.r.shuffle(parts)
        return ":".join([want["name"], *parts])

    def data(self):
        if self.fmt == "jsonl":
            return b"".join(json.dumps(record).encode() + b"\n" for record in self.records)
        return csv_text(([HEADER] if self.header else []) + self.records)

    def args(self):
        texts = [self.text(s) for s in self.wanted]
        keys = ["-k", ",".join(texts)] if self.r.random() < 0.5 else [a for t in texts for a in ("-k", t)]
        flags = [f for f, on in (("-r", self.reverse), ("-u", self.unique), ("-n", self.numeric),
                                 ("-s", self.r.random() < 0.2)) if on]
        return [f"--{self.fmt}", *(["--no-header"] if not self.header else []), *keys, *flags]

    def expected(self, files):
        try:
            return sort_records(files, self.fmt, [self.text(s) for s in self.wanted], unique=self.unique,
                                numeric=self.numeric, reverse=self.reverse, header=self.header)
        except (RecordError, Refused) as e:
            return e


def assert_refused_alike(said, expected):
    if isinstance(expected, RecordError):
        assert said.startswith(f"tessarune: {expected.file}:{expected.line}: "), said
        assert any(f"the value of {name} {what}" in said for name, what in expected.failures), (said, expected.failures)
    else:
        assert said == f"tessarune: {expected}"


def sorted_by_command(case, tmp_path, *extra, files=None):
    files = files or [(str(tmp_path / f"in.{case.fmt}"), case.data())]
    for name, data in files:
        pathlib.Path(name).write_bytes(data)
    expected = case.expected(files)
    got = run(["-S", "64K", "-T", str(tmp_path), *extra, *case.args(), *(name for name, _ in files)])
    if isinstance(expected, bytes):
        assert got.returncode == 0, got.stderr
        assert got.stdout == expected
    else:
        assert got.returncode == 2 and got.stdout == b"", got.stderr
        assert_refused_alike(first_line(got), expected)


@pytest.mark.parametrize("fmt, header", [("jsonl", True), ("csv", True), ("csv", False)])
@pytest.mark.parametrize("seed", range(25))
def test_command_orders_records_as_the_reference(fmt, header, seed, tmp_path):
    sorted_by_command(Case(seed, fmt, header), tmp_path)


def python_keys(case):
    """The case's keys as sort_files takes them: str, Key objects, per-key reverse and nulls_last."""
    r, keys, reverse, nulls_last = case.r, [], [], []
    for want in case.wanted:
        form = r.randrange(3)
        descending = want["direction"] in ("desc", "r")
        placed = {None: None, "nulls_first": False, "nulls_last": True}[want["nulls"]]
        if form == 0:
            keys.append(case.text(want))
        elif form == 1:
            key = parse_keys([want["name"]], case.fmt, case.header)[0]
            name = r.choice([want["name"], key.column if case.fmt == "csv" else key.steps])
            if name is None:
                name = HEADER.index(key.steps[0])
            typed = {"type": want["type"]} if want["typed"] else {}
            keys.append(tessarune.Key(name, **typed, descending=descending, nulls_last=placed))
        else:
            keys.append(case.text(want, options=False))
        reverse.append(case.reverse ^ (descending and form == 2))
        nulls_last.append(placed if form == 2 else None)
    if reverse == [case.reverse] * len(reverse) and r.random() < 0.5:
        reverse = case.reverse
    return keys, reverse, (nulls_last if any(n is not None for n in nulls_last) else None)


@pytest.mark.parametrize("fmt, header", [("jsonl", True), ("csv", True), ("csv", False)])
@pytest.mark.parametrize("seed", range(15))
def test_sort_files_orders_records_as_the_reference(fmt, header, seed, tmp_path):
    case = Case(seed, fmt, header)
    source, target = tmp_path / "in", tmp_path / "out"
    source.write_bytes(case.data())
    expected = case.expected([(str(source), case.data())])
    keys, reverse, nulls_last = python_keys(case)
    options = {"header": header} if fmt == "csv" else {}
    call = lambda: tessarune.sort_files([str(source)], str(target), format=fmt, key=keys, reverse=reverse,  # noqa: E731
                                        nulls_last=nulls_last, unique=case.unique, numeric=case.numeric,
                                        max_bytes=64 << 10, tmp_dir=str(tmp_path), **options)
    if isinstance(expected, bytes):
        call()
        assert target.read_bytes() == expected
    else:
        with pytest.raises(tessarune.InputError) as raised:
            call()
        if isinstance(expected, RecordError):
            assert raised.value.line == expected.line
        assert isinstance(raised.value, ValueError)


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
@pytest.mark.parametrize("seed", range(8))
def test_merge_of_sorted_records_is_the_sort_of_all(fmt, seed, tmp_path):
    """Inputs sorted by the reference, then merged, or sorted together: the sort of all; a CSV
    header once."""
    case = Case(seed, fmt, count=600, spoil=False)
    whole, files = case.records, []
    for i in range(3):
        case.records = whole[i::3]
        name = str(tmp_path / f"{i}.{fmt}")
        files.append((name, case.expected([(name, case.data())])))
    case.records = whole
    sorted_by_command(case, tmp_path, "-m", files=files)
    sorted_by_command(case, tmp_path, files=files)


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
@pytest.mark.parametrize("seed", range(8))
def test_check_reports_the_first_disorder(fmt, seed, tmp_path):
    case = Case(seed, fmt, count=200, spoil=False)  # -c stops at a disorder before a later bad record
    source = tmp_path / f"in.{fmt}"
    source.write_bytes(case.data())
    files = [(str(source), case.data())]
    disorder = first_disorder(files, fmt, [case.text(s) for s in case.wanted], unique=case.unique,
                              numeric=case.numeric, reverse=case.reverse)
    checked = run(["-c", *case.args(), str(source)])
    quiet = run(["-C", *case.args(), str(source)])
    if disorder is None:
        assert (checked.returncode, checked.stderr, quiet.returncode) == (0, b"", 0)
    else:
        assert checked.returncode == quiet.returncode == 1 and quiet.stderr == b""
        assert first_line(checked).startswith(f"tessarune: {disorder[0]}:{disorder[1]}: disorder: ")
    source.write_bytes(case.expected(files))
    assert run(["-c", *case.args(), str(source)]).returncode == 0


@pytest.mark.parametrize("merge", [[], ["-m"]])
def test_csv_inputs_with_different_headers_are_refused(merge, tmp_path):
    (tmp_path / "a.csv").write_bytes(b"x,y\n1,2\n")
    (tmp_path / "b.csv").write_bytes(b"y,x\n3,4\n")
    got = run(["--csv", "-k", "x", *merge, str(tmp_path / "a.csv"), str(tmp_path / "b.csv")])
    assert got.returncode == 2 and got.stdout == b"" and first_line(got).startswith("tessarune: ")


RECORD = b'{"amount": 1, "a": 1, "b": 2, "ts": "2020-01-01"}\n'
REFUSED = [
    (["-k", "amount:bogus"], RECORD, "amount"),
    (["-k", "amount:number:timestamp"], RECORD, "amount"),
    (["-k", "amount:desc:asc"], RECORD, "amount"),
    (["-k", "amount:nulls_first:nulls_last"], RECORD, "amount"),
    (["-k", "a,b", "-n"], RECORD, N_MESSAGE),
    (["-k", "a", "-k", "b", "-n"], RECORD, N_MESSAGE),
    (["-n"], RECORD, N_MESSAGE),
    (["-k", "amount:text", "-n"], RECORD, "amount"),
    (["-k", ","], RECORD, ""), (["-k", ":desc"], RECORD, ""), (["-k", "a..b"], RECORD, ""),
    (["-k", "a,"], RECORD, ""), (["-k", 'a"b'], RECORD, ""), (["-k", '"a'], RECORD, ""),
    (["-t", ",", "-k", "a"], RECORD, "-t"),
    (["-k", "user.idd"], b'{"user": {"id": 1}}\n', "no record has the key user.idd"),
    (["-k", "amount:number"], b'{"amount": 1}\n{"amount": "10"}\n', '-:2: the value of amount is not a number: "10"'),
    (["-k", "ts:timestamp"], b'{"ts": 1}\n{"ts": "yesterday"}\n', '-:2: the value of ts is not a timestamp: "yesterday"'),
    (["--csv", "--no-header", "-k", "amount"], b"1,2\n", "amount"),
    (["--csv", "-k", "p:number"], b'p,q\n1,"a\nb"\nabc,c\n', "-:4: the value of p is not a number"),
    (["--csv", "-k", "nope"], b"p,q\n1,2\n", "nope"),
] + [([option, "-k", "a"], RECORD, "") for option in ["-b", "-d", "-f", "-g", "-h", "-i", "-M", "-R", "-V", "-z"]]


@pytest.mark.parametrize("args, data, message", REFUSED, ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_refusals_name_the_fault_and_exit_2(args, data, message):
    got = run(args if "--csv" in args else ["--jsonl", *args], data)
    said = first_line(got)
    assert got.returncode == 2 and got.stdout == b"" and said.startswith("tessarune: "), got.stderr
    assert message in said


def test_sort_files_refuses_like_the_command(tmp_path):
    source, target = tmp_path / "in", tmp_path / "out"
    source.write_bytes(b'{"a": "10", "b": 1}\n{"a": 2, "b": 1}\n')

    def sort(key, **options):
        tessarune.sort_files([str(source)], str(target), format="jsonl", key=key, **options)
    with pytest.raises(tessarune.InputError) as raised:
        sort([tessarune.Key("a", type="number")])
    assert isinstance(raised.value, ValueError)
    assert (raised.value.line, raised.value.message) == (1, 'the value of a is not a number: "10"')
    for key, options in [(["a:bogus"], {}), ([tessarune.Key("a"), "b:n:text"], {}), (["a", "b"], {"numeric": True}),
                         (["a", "b"], {"reverse": [True]}), (["a"], {"nulls_last": [True, False]})]:
        with pytest.raises((TypeError, ValueError)) as raised:
            sort(key, **options)
        assert not isinstance(raised.value, tessarune.InputError)
