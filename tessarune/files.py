"""sort_files: files of lines, JSON Lines or CSV sorted in bounded memory, keys read natively.

sort_files is one call into the extension, which runs the same native job as the command:
it reads the inputs, keys every record and writes the output in C++, detached from the
interpreter, and calls back into Python only for an output handle, the progress bars and
Ctrl-C. The plan and buffers below are the Python way of reading records, which the Dask
sort's tasks still use.
"""

import json
import os
from typing import NamedTuple

from _tessarune import _sort_files, key_bytes

from . import InputError
from .cli_formats import JsonKey
from .cli_keys import MODIFIERS, KeyError_, parse_key, plan_fields, whole_line_part
from .cli_progress import Progress
from .jsonl import BOM

FORMATS = ("lines", "jsonl", "csv")
DEFAULT_MAX_BYTES = 268435456
# Reads of half a MiB: the records are still in the processor's cache when the extension scans
# and copies them (4 MiB reads cost 3% more time).
READ_SIZE = 512 << 10
# The most bytes each read of sort_files asks for (None: no limit), so that tests can cut
# records across reads.
_MOST_PER_READ = None


class SortReport(NamedTuple):
    """What sort_files did: the bytes it read, and the sorter's own counts."""

    bytes_read: int
    stats: tuple


def _as_list(value):
    if value is None:
        return []
    if isinstance(value, (str, bytes, os.PathLike)):
        return [value]
    return list(value)


class _Plan:
    """How one sort reads its records: the format, the key plan for the extension, and the
    separator its payloads end with (None when each record carries its own end)."""

    def __init__(self, format, key, numeric, reverse, ignore_blanks, field_separator,
                 zero_terminated, delimiter, modifiers="", random_seed=None):
        if format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
        self.format = format
        self.reverse = reverse
        self.sep = b"\0" if zero_terminated else b"\n"
        # What ends a record: a last one without it gets the first of these.
        self.ends = self.sep if format == "lines" else b"\n\r" if format == "csv" else b"\n"
        self.whole_lines = False
        self.csv_columns = None
        if format != "lines":
            if zero_terminated:
                raise ValueError("zero_terminated applies to lines only")
            if field_separator is not None:
                raise ValueError("field_separator applies to lines only")
            if modifiers:
                raise ValueError(f"the ordering options -{modifiers} apply to lines only")
        if format == "lines":
            self._plan_lines(_as_list(key), numeric, reverse, ignore_blanks, field_separator,
                             zero_terminated, modifiers, random_seed)
        elif format == "jsonl":
            paths = [p for spec in _as_list(key) for p in spec.split(",") if p]
            keyer = JsonKey(paths)
            self.key = ("jsonl", [p.split(".") for p in paths], reverse, _json_fallback(keyer))
        else:
            if not isinstance(delimiter, str) or len(delimiter) != 1:
                raise ValueError(f"the delimiter must be one character: {delimiter!r}")
            self.delimiter = delimiter.encode()
            if len(self.delimiter) != 1:
                raise ValueError(f"the delimiter must be one byte in UTF-8: {delimiter!r}")
            self.csv_columns = [c for spec in _as_list(key) for c in spec.split(",") if c]
            self.numeric = numeric

    def _plan_lines(self, specs, numeric, reverse, ignore_blanks, field_separator, zero, modifiers,
                    random_seed):
        tab = None
        if field_separator is not None:
            tab = field_separator
            if isinstance(tab, str):
                tab = tab.encode("utf-8", "surrogateescape")
            if tab == b"\\0":
                tab = b"\0"
            if len(tab) != 1:
                raise ValueError(f"the field separator must be one byte: {field_separator!r}")
        for m in modifiers:
            if m not in MODIFIERS:
                raise ValueError(f"unknown ordering option -{m}")
        flags = {m: m in modifiers for m in MODIFIERS}
        flags.update(b=ignore_blanks or flags["b"], n=numeric or flags["n"], r=reverse or flags["r"])
        self.reverse = flags["r"]
        try:
            parts = [parse_key(k, flags) for k in specs] or [whole_line_part(flags)]
        except KeyError_ as e:
            raise ValueError(str(e)) from None
        # For the merge and the order check: the key plan, or None for lines in byte order.
        self.tab, self.zero = tab, zero
        self.random_seed = 0
        if any("R" in p.modes for p in parts):
            self.random_seed = int.from_bytes(os.urandom(8)) if random_seed is None else random_seed
        self.line_fields = plan_fields(parts)
        if not specs and not any(flags[m] for m in MODIFIERS if m != "r"):
            self.whole_lines = True  # the line's own bytes are its key: the bulk path
            if not self.reverse:
                self.line_fields = None
            return
        # Each part carries its own reversal; the plan's is for keys made whole.
        self.key = ("lines", self.line_fields, tab, zero, False, self.random_seed)

    def csv_plan(self, header, name):
        """The CSV key plan once the first header is known."""
        columns = self.csv_columns
        if columns:
            for c in columns:
                if c not in header:
                    raise InputError(name, 1, f"no column {c!r} in the header")
            indexes = [header.index(c) for c in columns]
        else:
            indexes = list(range(len(header)))
        names = [repr(header[i]) for i in indexes]  # as messages quote them
        return ("csv", self.delimiter, indexes, names, self.numeric, self.reverse)


def _json_fallback(keyer):
    """Keys a JSON line the way the native reading leaves to Python: key bytes, or the
    message that refuses the line."""
    loads = json.loads

    def fallback(line):
        try:
            value = loads(line)
        except (ValueError, UnicodeDecodeError) as e:
            return f"not JSON: {e}"
        try:
            return key_bytes(keyer(value))
        except (ValueError, TypeError, RecursionError) as e:
            return str(e)

    return fallback


class _Buffer:
    """A file read into one growing buffer; what the adding took is dropped from its front.
    `ends` are the bytes that end a record: at the end of the file a last record without one
    is given the first of them."""

    def __init__(self, f, ends, bar=None, size=READ_SIZE):
        self.f, self.ends, self.bar = f, ends, bar
        self.data = bytearray(size)
        self.n = 0
        self.at_end = False
        self.bytes_read = 0

    def fill(self):
        """Reads more; at the end of the file nothing more comes and at_end is set."""
        if self.n == len(self.data):  # one record longer than the buffer: make room for it
            self.data.extend(bytes(len(self.data)))
        with memoryview(self.data) as view:
            got = self.f.readinto(view[self.n:])
        if got:
            self.n += got
            self.bytes_read += got
            if self.bar is not None:
                self.bar.update(got)
        else:
            self.at_end = True

    def skip_bom(self):
        """Drops a UTF-8 byte order mark from the start of the file, which is no part of its
        first record."""
        while self.n < len(BOM) and not self.at_end:
            self.fill()
        if self.n >= len(BOM) and self.data[:len(BOM)] == BOM:
            self.drop(len(BOM))

    def drop(self, count):
        if count:
            rest = self.n - count
            self.data[:rest] = self.data[count:self.n]
            self.n = rest

    def end_last_record(self):
        """At the end of the file, ends a last record that lacks its end (again: no change)."""
        if self.n and self.data[self.n - 1] not in self.ends:
            if self.n == len(self.data):
                self.data.append(0)
            self.data[self.n] = self.ends[0]
            self.n += 1


def feed(buffer, add, name, line=0, between=None):
    """Hands the file's bytes to `add(view, at_end) -> (consumed, lines, error)` until it is
    all taken; `line` is the number of lines before the buffer. `between(line, lines)`, if
    given, runs after each call. Raises InputError on the first bad record, naming its line;
    returns the number of lines read."""
    while True:
        if buffer.at_end:
            buffer.end_last_record()
        with memoryview(buffer.data) as view:
            consumed, lines, error = add(view[:buffer.n], buffer.at_end)
        if between is not None:
            between(line, lines)
        if error is not None:
            raise InputError(name, line + lines + 1, error)
        line += lines
        buffer.drop(consumed)
        if buffer.at_end:
            if buffer.n:
                raise RuntimeError(f"{name}: {buffer.n} bytes left unread at the end")
            return line
        buffer.fill()


def read_csv_header(buffer, delimiter, name):
    """Reads a CSV file's header row off the front of its buffer: (its bytes, ended by a
    newline, its fields, the lines it spans), or None when the file is empty."""
    from _tessarune import _csv_record

    while True:
        if buffer.at_end:
            buffer.end_last_record()
        with memoryview(buffer.data) as view:
            found = _csv_record(view[:buffer.n], delimiter, buffer.at_end)
        if found is not None or buffer.at_end:
            break
        buffer.fill()
    if found is None:
        return None
    if isinstance(found, tuple) and len(found) == 2:
        raise InputError(name, found[0] + 1, found[1])
    length, lines, fields = found
    header_bytes = bytes(buffer.data[:length])
    try:
        header = [f.decode("utf-8") for f in fields]
    except UnicodeDecodeError as e:
        raise InputError(name, 1, f"not UTF-8: {e.reason}") from None
    buffer.drop(length)
    if header_bytes[-1:] not in (b"\n", b"\r"):
        header_bytes += b"\n"
    return header_bytes, header, lines


def sort_files(inputs, output, *, format="lines", key=None, numeric=False, reverse=False,
               unique=False, ignore_blanks=False, field_separator=None, zero_terminated=False,
               delimiter=",", max_bytes=DEFAULT_MAX_BYTES, threads=1, max_open=64, tmp_dir=None,
               progress=False, modifiers=""):
    """Sorts the records of `inputs` into `output` in bounded memory; equal keys keep their
    input order. See the README's "Sorting files" for every argument."""
    _check_applies(format, field_separator, zero_terminated, delimiter, modifiers)
    names = [os.fspath(n) for n in _as_list(inputs)] or ["-"]
    bytes_read, stats = _sort_files(
        names, output, format=format, key=_as_list(key), numeric=numeric, reverse=reverse,
        unique=unique, ignore_blanks=ignore_blanks, field_separator=_separator_byte(field_separator),
        zero_terminated=zero_terminated, delimiter=delimiter, max_bytes=max_bytes, threads=threads,
        max_open=max_open, tmp_dir=tmp_dir, progress=Progress(True) if progress else None,
        modifiers=modifiers, _read_size=_MOST_PER_READ)
    return SortReport(bytes_read, stats)


def _check_applies(format, field_separator, zero_terminated, delimiter, modifiers):
    """ValueError for a format or an option that cannot apply to it."""
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    if format != "lines":
        if zero_terminated:
            raise ValueError("zero_terminated applies to lines only")
        if field_separator is not None:
            raise ValueError("field_separator applies to lines only")
        if modifiers:
            raise ValueError(f"the ordering options -{modifiers} apply to lines only")
    if format == "csv":
        if not isinstance(delimiter, str) or len(delimiter) != 1:
            raise ValueError(f"the delimiter must be one character: {delimiter!r}")
        if len(delimiter.encode()) != 1:
            raise ValueError(f"the delimiter must be one byte in UTF-8: {delimiter!r}")


def _separator_byte(field_separator):
    """The field separator as one byte ("\\0" is NUL), or None."""
    if field_separator is None:
        return None
    tab = field_separator
    if isinstance(tab, str):
        tab = tab.encode("utf-8", "surrogateescape")
    if tab == b"\\0":
        tab = b"\0"
    if not isinstance(tab, bytes) or len(tab) != 1:
        raise ValueError(f"the field separator must be one byte: {field_separator!r}")
    return tab
