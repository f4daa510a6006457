"""sort_files: files of lines, JSON Lines or CSV sorted in bounded memory, keys read natively.

sort_files is one call into the extension, which runs the same native job as the command:
it reads the inputs, keys every record and writes the output in C++, detached from the
interpreter, and calls back into Python only for a file object's reads, an output handle, the
progress bars and Ctrl-C.

A key function is the slow path: the inputs are read here, a buffer at a time, and the
extension keys each buffer's records by calling the function once per record, frames them and
adds them to a Sorter, whose native writer writes the output.
"""

import contextlib
import gzip
import io
import os
import stat
import sys
import tempfile
from typing import NamedTuple

from compression import zstd

from _tessarune import InputError, Sorter, _bucket_records, _sort_files

from ._keys import fold_keys
from ._reading import decompressed, expand, feed_lines, is_readable, python_keyer
from .progress import Progress

FORMATS = ("lines", "jsonl", "csv")
DEFAULT_MAX_BYTES = 268435456
# The most bytes each read of sort_files asks for (None: no limit), so that tests can cut
# records across reads.
_MOST_PER_READ = None
_MAX_COUNT = (1 << 63) - 1


class SortReport(NamedTuple):
    """What sort_files did: the bytes it read, and the sorter's own counts."""

    bytes_read: int
    stats: tuple


def _as_list(value):
    if value is None:
        return []
    if isinstance(value, (str, bytes, os.PathLike)) or is_readable(value):
        return [value]
    return list(value)


def input_paths(inputs) -> list:
    """Paths, with each glob pattern replaced by its matches; a file object raises TypeError."""
    paths = []
    for entry in _as_list(inputs):
        if not isinstance(entry, (str, bytes, os.PathLike)):
            raise TypeError(f"an input must be a path or a glob pattern, not {entry!r}")
        paths.extend(expand(entry))
    return paths


def input_sources(inputs) -> list:
    """What _sort_files reads: paths as str or bytes (globs expanded), and each binary file
    object as (name, object), named by its `name` attribute where that names no other input,
    else "<stream N>"."""
    sources = []
    for entry in _as_list(inputs):
        if isinstance(entry, (str, bytes, os.PathLike)):
            sources.extend(expand(entry))
        elif isinstance(entry, io.TextIOBase):
            raise TypeError(f"an input file object must be binary, not {entry!r}: open it with 'rb'")
        elif is_readable(entry):
            sources.append((None, entry))
        else:
            raise TypeError(f"an input must be a path or a binary file object, not {entry!r}")
    taken = {os.fsdecode(s) for s in sources if not isinstance(s, tuple)} | {"-"}
    streams = 0
    for i, source in enumerate(sources):
        if not isinstance(source, tuple):
            continue
        name = getattr(source[1], "name", None)
        if not isinstance(name, str) or not name or name in taken:
            name = f"<stream {streams}>"
            while name in taken:
                name += "'"
        taken.add(name)
        sources[i] = (name, source[1])
        streams += 1
    return sources or ["-"]


def sort_files(inputs, output, *, format="lines", key=None, numeric=False, reverse=False,
               nulls_last=None, unique=False, header=True, decompress=False, ignore_blanks=False,
               field_separator=None, zero_terminated=False, delimiter=",",
               max_bytes=DEFAULT_MAX_BYTES, threads=1, max_open=64, tmp_dir=None, progress=False,
               modifiers=""):
    """Sorts the records of `inputs` into `output` in bounded memory; equal keys keep their
    input order. See the README's "Sorting files from Python" for every argument."""
    _check_applies(format, field_separator, zero_terminated, delimiter, modifiers)
    check_flags(format, header=header, decompress=decompress)
    _check_counts(max_bytes=max_bytes, threads=threads, max_open=max_open)
    _check_output(output)
    sources = input_sources(inputs)
    if callable(key):
        _check_function_options(format, numeric=numeric, reverse=reverse, nulls_last=nulls_last,
                                ignore_blanks=ignore_blanks, field_separator=field_separator,
                                zero_terminated=zero_terminated, modifiers=modifiers)
        return _sort_by_function(sources, output, format, key, reverse, unique, decompress,
                                 max_bytes, threads, max_open, tmp_dir, progress)
    bytes_read, stats = _sort_files(
        sources, output, format=format, **fold_keys(key, format, reverse=reverse, nulls_last=nulls_last),
        numeric=numeric,
        unique=unique, ignore_blanks=ignore_blanks, field_separator=_separator_byte(field_separator),
        zero_terminated=zero_terminated, delimiter=delimiter, max_bytes=max_bytes, threads=threads,
        max_open=max_open, tmp_dir=tmp_dir, progress=Progress(True) if progress else None,
        modifiers=modifiers, _read_size=_MOST_PER_READ, **native_flags(header, decompress))
    return SortReport(bytes_read, stats)


def native_flags(header, decompress) -> dict:
    """header and decompress as keywords of the native side, given only when not the default."""
    flags = {}
    if not header:
        flags["header"] = False
    if decompress:
        flags["decompress"] = True
    return flags


def check_flags(format, *, header, decompress):
    if not isinstance(header, bool):
        raise TypeError(f"header must be a bool, not {type(header).__name__}")
    if not isinstance(decompress, bool):
        raise TypeError(f"decompress must be a bool, not {type(decompress).__name__}")
    if not header and format != "csv":
        raise ValueError("header=False applies to CSV only")


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


def _check_counts(**counts):
    """max_bytes, threads and max_open: ints within what the engine can hold."""
    lowest = {"max_bytes": 2, "threads": 1, "max_open": 2}
    for name, value in counts.items():
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if not lowest[name] <= value <= _MAX_COUNT:
            raise ValueError(f"{name} must be from {lowest[name]} to {_MAX_COUNT}, not {value}")


def _check_output(output):
    if output is None or isinstance(output, (str, bytes, os.PathLike)) or hasattr(output, "write"):
        return
    raise TypeError(f"output must be a path, a binary handle with a write method or None, not {output!r}")


def _check_function_options(format, **given):
    """ValueError for the options that a key function leaves nothing to apply to."""
    if format == "csv":
        raise ValueError("a CSV key is given by column names, not a function")
    if given.pop("reverse") not in (False, True):
        raise ValueError("with a key function, reverse is one bool")
    defaults = {"numeric": False, "nulls_last": None, "ignore_blanks": False,
                "field_separator": None, "zero_terminated": False, "modifiers": ""}
    named = [name for name, value in given.items() if value != defaults[name]]
    if named:
        raise ValueError(f"{', '.join(named)} apply to a key given by name, not to a key function")


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


# The slow path: a key function.


@contextlib.contextmanager
def _opened(source):
    """An input's name and its binary stream; a path's file is closed after, a stream is not."""
    if isinstance(source, tuple):
        yield source
    elif source == "-" or source == b"-":
        yield "-", sys.stdin.buffer
    else:
        with open(source, "rb", buffering=0) as handle:
            yield os.fsdecode(source), handle


def _add_input(sorter, plan, name, stream, format, decompress, on_read):
    """Keys every record of one input and adds it to the sorter."""
    failures = plan[1].failures
    line_no = 0

    def add(data, at_end):
        nonlocal line_no
        consumed, lines, error, (blocks,) = _bucket_records(data, plan, [], at_end, 0)
        if blocks:
            sorter._add_framed(blocks)
        if failures:
            failures[0].add_note(f"in {name}, line {line_no + lines + 1}")
            raise failures[0]
        if error is not None:
            raise InputError(name, line_no + lines + 1, error)
        line_no += lines
        return consumed

    if format == "jsonl" or decompress:
        stream, _ = decompressed(stream, name)
    feed_lines(stream, format == "jsonl", add, on_read)


def _total_size(sources):
    total = 0
    for source in sources:
        try:
            st = os.stat(source)
        except (OSError, TypeError, ValueError):
            return None
        if not stat.S_ISREG(st.st_mode):
            return None
        total += st.st_size
    return total


def _sort_by_function(sources, output, format, key, reverse, unique, decompress, max_bytes,
                      threads, max_open, tmp_dir, progress):
    plan = ("python", python_keyer(key, format, reverse))
    bars = Progress(bool(progress))
    read = 0

    def on_read(n):
        nonlocal read
        read += n
        bar.update(n)

    with Sorter(max_bytes=max_bytes, threads=threads, max_open=max_open, tmp_dir=tmp_dir) as sorter:
        bar = bars.bar("reading", _total_size(sources), "B")
        try:
            for source in sources:
                with _opened(source) as (name, stream):
                    _add_input(sorter, plan, name, stream, format, decompress, on_read)
        finally:
            bar.close()
        compress = format == "jsonl" or decompress
        with _output_handle(output, compress) as handle:
            bar = bars.bar("writing", len(sorter), "items")
            try:
                sorter._write_lines(handle, None, unique=unique)
                bar.update(len(sorter))
            finally:
                bar.close()
        return SortReport(read, sorter.stats())


@contextlib.contextmanager
def _output_handle(output, compress):
    """Where a key function's sort writes: standard output, a handle, or a path replaced only
    once everything is written (compressed when its name ends in .gz or .zst and `compress`)."""
    if output is None or output == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    if not isinstance(output, (str, bytes, os.PathLike)):
        yield output
        return
    target = os.path.realpath(os.fsdecode(output))
    fd, temporary = tempfile.mkstemp(dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.")
    try:
        with open(fd, "wb") as file:
            if compress and target.endswith(".gz"):
                with gzip.GzipFile(fileobj=file, mode="wb") as packed:
                    yield packed
            elif compress and target.endswith(".zst"):
                with zstd.ZstdFile(file, "w") as packed:
                    yield packed
            else:
                yield file
        try:
            mode = stat.S_IMODE(os.stat(target).st_mode)
        except FileNotFoundError:
            mask = os.umask(0)
            os.umask(mask)
            mode = 0o666 & ~mask
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise

