"""Reading JSON Lines and CSV inputs into a sorter, and their keys."""

import csv
import io
import json


class InputError(Exception):
    """Bad input: shown as 'FILE:LINE: message', exit status 2."""

    def __init__(self, name, line, message):
        super().__init__(f"{name}:{line}: {message}")


def _kind(value):
    return "a list" if isinstance(value, list) else "an object"


class JsonKey:
    """The key of one JSON value: the values at dotted paths (None where missing), or the
    value itself when no path is given."""

    def __init__(self, paths):
        self.paths = [p.split(".") for p in paths]
        self.names = paths

    def __call__(self, value):
        if not self.paths:
            if isinstance(value, dict):
                raise ValueError("an object has no order of its own: name fields with -k")
            return value
        key = []
        for path, name in zip(self.paths, self.names):
            v = value
            for step in path:
                v = v.get(step) if isinstance(v, dict) else None
                if v is None:
                    break
            if isinstance(v, (list, dict)):
                raise ValueError(f"the value of {name} is {_kind(v)}, which is no sort key")
            key.append(v)
        return tuple(key)


def json_line_key(keyer, name, number, line):
    try:
        value = json.loads(line)
    except (ValueError, UnicodeDecodeError) as e:
        raise InputError(name, number, f"not JSON: {e}") from None
    try:
        return keyer(value)
    except ValueError as e:
        raise InputError(name, number, str(e)) from None


class CsvRows:
    """The records of a CSV file with the exact text each came from, and the line it began on."""

    def __init__(self, binary, delimiter):
        self.text = io.TextIOWrapper(binary, encoding="utf-8", newline="")
        self.raw = []
        self.reader = csv.reader(self._lines(), delimiter=delimiter, strict=True)
        self.line = 0

    def _lines(self):
        for line in self.text:
            self.raw.append(line)
            yield line

    def __iter__(self):
        return self

    def __next__(self):
        self.raw.clear()
        first = self.reader.line_num + 1
        row = next(self.reader)
        self.line = first
        text = "".join(self.raw)
        if not text.endswith(("\n", "\r")):
            text += "\n"
        return row, text.encode("utf-8")


def csv_number(text):
    try:
        return int(text)
    except ValueError:
        return float(text)


class CsvKey:
    def __init__(self, header, columns, numeric, name):
        self.numeric = numeric
        if columns:
            missing = [c for c in columns if c not in header]
            if missing:
                raise InputError(name, 1, f"no column {missing[0]!r} in the header")
            self.indexes = [header.index(c) for c in columns]
        else:
            self.indexes = list(range(len(header)))
        self.names = [header[i] for i in self.indexes]

    def __call__(self, row):
        key = []
        for i, name in zip(self.indexes, self.names):
            if i >= len(row):
                raise ValueError(f"the row has no column {name!r}")
            v = row[i]
            if self.numeric:
                try:
                    v = csv_number(v)
                except ValueError:
                    raise ValueError(f"column {name!r}: {v!r} is not a number") from None
            key.append(v)
        return tuple(key)
