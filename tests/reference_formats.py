"""The reference keying of JSON Lines and CSV records that the native keys are tested against,
written with Python's json and csv modules."""

import csv
import io
import json
import sys


from tessarune import InputError, key_bytes

# A record's fields may be as long as the record: the reader has no size limit of its own.
csv.field_size_limit(sys.maxsize)


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
    """The records of a CSV file: each one's cells and the exact bytes it came from (with "\\n"
    added to a last record that lacks a line ending); `line` is the line the last one began on.

    The file is read as UTF-8 after any byte order mark. Bytes that are not UTF-8 pass through
    the reader as escapes and each record is checked whole, so that a bad byte is reported on
    its own line, and before a CSV fault on its line or later, however the text is buffered.
    """

    def __init__(self, binary, delimiter, name):
        self.text = io.TextIOWrapper(binary, encoding="utf-8-sig", errors="surrogateescape",
                                     newline="")
        self.name = name
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
        try:
            row = next(self.reader)
        except csv.Error as e:
            self._utf8(first)
            raise InputError(self.name, self.reader.line_num, f"not CSV: {e}") from None
        self.line = first
        data = self._utf8(first)
        if not data.endswith((b"\n", b"\r")):
            data += b"\n"
        return row, data

    def _utf8(self, first):
        """The bytes of the lines read for this record, which must be UTF-8."""
        text = "".join(self.raw)
        try:
            return text.encode("utf-8")
        except UnicodeEncodeError:
            pass  # an escaped byte: find the first that the codec refuses
        data = text.encode("utf-8", "surrogateescape")
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as e:
            before = data[:e.start]
            line = first + before.count(b"\n") + before.count(b"\r") - before.count(b"\r\n")
            raise InputError(self.name, line,
                             f"not UTF-8: can't decode byte 0x{data[e.start]:02x}: {e.reason}") from None
        return data


class CsvKey:
    """The key bytes of a CSV record keyed by whole columns as text: those of the tuple of its
    key cells."""

    def __init__(self, header, columns, name):
        if columns:
            missing = [c for c in columns if c not in header]
            if missing:
                raise InputError(name, 1, f"no column {missing[0]!r} in the header")
            self.indexes = [header.index(c) for c in columns]
        else:
            self.indexes = list(range(len(header)))
        self.names = [header[i] for i in self.indexes]

    def __call__(self, row):
        cells = []
        for i, name in zip(self.indexes, self.names):
            if i >= len(row):
                raise ValueError(f"the row has no column @{i + 1}")
            cells.append(row[i])
        return key_bytes(tuple(cells))
