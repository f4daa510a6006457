"""The reference ordering of JSON Lines and CSV records by typed keys with a direction and a
place for nulls, written with json, csv, datetime and a stable sorted(). Inputs are
(file name, bytes) pairs; keys are texts in the command's -k syntax."""

import datetime
import io
import json
import math
import re
from dataclasses import dataclass

from reference_formats import CsvRows
from tessarune import key_bytes

N_MESSAGE = "-n applies to a single key: give each key its type, as in -k 'country,amount:number'"
OPTIONS = {"text": ("type", "text"), "number": ("type", "number"), "n": ("type", "number"),
           "timestamp": ("type", "timestamp"), "asc": ("descending", False), "desc": ("descending", True),
           "r": ("descending", True), "nulls_first": ("nulls", "first"), "nulls_last": ("nulls", "last")}
QUOTED = re.compile(r'"((?:[^"\\]|\\["\\])*)"')
NUMBER = re.compile(r"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][+-]?[0-9]+)?\Z")
ISO = re.compile(r"([0-9]{4})-([0-9]{2})-([0-9]{2})(?:[Tt ]([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:\.([0-9]+))?)?"
                 r"(?:[Zz]|([+-])([0-9]{2})(?::?([0-9]{2}))?)?)?\Z")
EPOCH_DAY = datetime.date(1970, 1, 1).toordinal()
FIRST_SECOND = (1 - EPOCH_DAY) * 86400
LAST_SECOND = (datetime.date(9999, 12, 31).toordinal() - EPOCH_DAY) * 86400 + 86399


class Refused(Exception):
    """Keys or inputs refused as a whole, with the message the command gives after "tessarune: "."""


class RecordError(Exception):
    """A record that cannot be keyed: its file and line, and (name, what) of each failing key."""

    def __init__(self, file, line, failures):
        super().__init__(file, line, failures)
        self.file, self.line, self.failures = file, line, failures


@dataclass
class Key:
    name: str                  # as written
    steps: tuple               # JSON steps, or the one CSV column name
    column: int | None         # CSV @N, from 0
    type: str = "text"
    typed: bool = False
    descending: bool = False
    nulls: str | None = None   # None: lower than any value

    def null_rank(self):
        return 0 if self.nulls == "first" or (self.nulls is None and not self.descending) else 2


def parse_keys(texts, fmt, header=True, numeric=False, reverse=False):
    keys = []
    for text in texts:
        i = 0
        while True:
            start, steps = i, []
            while True:
                if text.startswith('"', i):
                    m = QUOTED.match(text, i)
                    step = m and re.sub(r"\\(.)", r"\1", m[1])
                else:
                    m = re.compile(r'[^,:"]+' if fmt == "csv" else r'[^.,:"]+').match(text, i)
                    step = m and m[0]
                if not m:
                    raise Refused(f"bad key name in {text!r}")
                steps.append(step)
                i = m.end()
                if fmt == "csv" or not text.startswith(".", i):
                    break
                i += 1
            name = text[start:i]
            column = None
            if fmt == "csv" and re.fullmatch(r"@[0-9]+", name) and int(name[1:]) > 0:
                column = int(name[1:]) - 1
            elif fmt == "csv" and not header:
                raise Refused(f"{name}: only @N names a column without a header")
            options = {}
            while text.startswith(":", i):
                option = re.compile(r":([^,:]*)").match(text, i)[1]
                i += len(option) + 1
                if option not in OPTIONS or OPTIONS[option][0] in options:
                    raise Refused(f"{name}: bad option {option!r}")
                options.setdefault(*OPTIONS[option])
            keys.append(Key(name, tuple(steps), column, typed="type" in options, **options))
            if i == len(text):
                break
            if text[i] != ",":
                raise Refused(f"bad key {text!r}")
            i += 1
    if numeric:
        if len(keys) != 1:
            raise Refused(N_MESSAGE)
        if keys[0].typed:
            raise Refused(f"{keys[0].name}: a type and -n")
        keys[0].type = "number"
    for key in keys:
        key.descending ^= reverse
    return keys


def number_text(text):
    """The number a CSV cell's text reads as, or None."""
    if not NUMBER.match(text):
        return None
    return float(text) if re.search("[.eE]", text) else int(text)


def instant(seconds, nanoseconds=0):
    if not FIRST_SECOND <= seconds <= LAST_SECOND:
        raise ValueError("is not a timestamp")
    return seconds, nanoseconds


def epoch(x):
    if isinstance(x, int):
        return instant(x)
    try:
        seconds = math.floor(x)
    except (OverflowError, ValueError):
        raise ValueError("is not a timestamp") from None
    nanoseconds = round((x - seconds) * 1e9)
    return instant(seconds + nanoseconds // 10**9, nanoseconds % 10**9)


def iso(text):
    m = ISO.match(text)
    if not m:
        raise ValueError("is not a timestamp")
    y, mo, d, h, mi, s, fraction, sign, oh, om = m.groups()
    try:
        day = datetime.date(int(y), int(mo), int(d)).toordinal()
    except ValueError:
        raise ValueError("is not a timestamp") from None
    h, mi, s, oh, om = (int(v or 0) for v in (h, mi, s, oh, om))
    if h > 23 or mi > 59 or s > 59 or oh > 23 or om > 59:
        raise ValueError("is not a timestamp")
    offset = (oh * 3600 + om * 60) * (-1 if sign == "-" else 1)
    return instant((day - EPOCH_DAY) * 86400 + h * 3600 + mi * 60 + s - offset,
                   int((fraction or "").ljust(9, "0")[:9]))


def json_value(key, value):
    """(whether the path is there, the value or None)."""
    for step in key.steps:
        if not isinstance(value, dict) or step not in value:
            return False, None
        value = value[step]
    return True, value


def typed(key, fmt, value):
    """The comparable value of a key, None for a null; ValueError(what) for a bad one."""
    if fmt == "csv":
        if key.type == "text":
            return value
        value = value.strip(" \t")
        if value == "":
            return None
        number = number_text(value)
        if key.type == "number":
            if number is None:
                raise ValueError("is not a number")
            return key_bytes(number)
        return iso(value) if number is None else epoch(number)
    if value is None:
        return None
    if isinstance(value, (list, dict)) and key.type == "text":
        raise ValueError("is a list" if isinstance(value, list) else "is an object")
    is_number = isinstance(value, (int, float)) and not isinstance(value, bool)
    if key.type == "text" or (key.type == "number" and is_number):
        return key_bytes(value)
    if key.type == "timestamp" and (is_number or isinstance(value, str)):
        return epoch(value) if is_number else iso(value)
    raise ValueError(f"is not a {key.type}")


class Descending:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return self.value == other.value

    def __lt__(self, other):
        return other.value < self.value


def column(key, head):
    if key.column is not None:
        return key.column
    if key.steps[0] not in head[1]:
        raise Refused(f"no column {key.name} in the header")
    return head[1].index(key.steps[0])


def keyed_records(files, fmt, key_texts, *, numeric=False, reverse=False, header=True):
    """The header (bytes, or b"") and each record as (key, file, line, bytes), in input order."""
    keys = parse_keys(key_texts, fmt, header, numeric, reverse)
    found, head, records = set(), None, []
    for name, data in files:
        if fmt == "jsonl":
            rows = [(n, line + b"\n", json.loads(line)) for n, line in enumerate(data.split(b"\n"), 1) if line]
        else:
            reader = CsvRows(io.BytesIO(data), ",", name)
            rows = [(reader.line, raw, row) for row, raw in reader]
            if header and rows:
                if head is not None and rows[0][2] != head[1]:
                    raise Refused("the CSV inputs have different headers")
                head, rows = head or rows[0][1:], rows[1:]
        for line, raw, value in rows:
            parts, failures = [], []
            for key in keys:
                if fmt == "csv":
                    there, cell = True, value[column(key, head)]
                else:
                    there, cell = json_value(key, value)
                if there:
                    found.add(key.name)
                try:
                    v = typed(key, fmt, cell)
                except ValueError as e:
                    failures.append((key.name, str(e)))
                    continue
                parts.append((key.null_rank(), b"") if v is None else (1, Descending(v) if key.descending else v))
            if failures:
                raise RecordError(name, line, failures)
            records.append((tuple(parts), name, line, raw))
    missing = list(dict.fromkeys(k.name for k in keys if k.name not in found))
    if fmt == "jsonl" and records and missing:
        raise Refused(f"no record has the key{'s' * (len(missing) > 1)} {', '.join(missing)}")
    return head[0] if head else b"", records


def sort_records(files, fmt, key_texts, *, unique=False, **options):
    """The output's bytes: the header, then the records in a stable order of their keys."""
    head, records = keyed_records(files, fmt, key_texts, **options)
    out, previous = [head], None
    for key, _, _, raw in sorted(records, key=lambda r: r[0]):
        if not (unique and key == previous):
            out.append(raw)
        previous = key
    return b"".join(out)


def first_disorder(files, fmt, key_texts, *, unique=False, **options):
    """(file, line) of the first record out of order (or equal to the one before under -u), or None."""
    _, records = keyed_records(files, fmt, key_texts, **options)
    for before, record in zip(records, records[1:]):
        if record[0] < before[0] or (unique and record[0] == before[0]):
            return record[1], record[2]
    return None
