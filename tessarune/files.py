"""sort_files: files of lines, JSON Lines or CSV sorted in bounded memory, keys read natively.

sort_files is one call into the extension, which runs the same native job as the command:
it reads the inputs, keys every record and writes the output in C++, detached from the
interpreter, and calls back into Python only for an output handle, the progress bars and
Ctrl-C.
"""

import os
from typing import NamedTuple

from _tessarune import _sort_files

from .progress import Progress

FORMATS = ("lines", "jsonl", "csv")
DEFAULT_MAX_BYTES = 268435456
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
