"""Sort more items than fit in memory."""

import os
from collections.abc import Buffer, Callable, Iterable, Iterator
from datetime import date, time
from decimal import Decimal
from fractions import Fraction
from types import GenericAlias
from typing import Any, Generic, NamedTuple, Protocol, Self, SupportsIndex, TypeAlias, TypeVar, final
from uuid import UUID

__all__ = ["InputError", "Sorter"]

# The package's version, as the command's --version says it.
__version__: str

class InputError(ValueError):
    """A bad record in an input, shown as 'NAME:LINE: message'."""

    name: str
    line: int
    message: str
    def __init__(self, name: str, line: int, message: str) -> None: ...

_T = TypeVar("_T")
_T_co = TypeVar("_T_co", covariant=True)

# What a key function may return: NumPy integers count as ints through __index__, and
# np.float64, np.str_ and np.bytes_ are subclasses of float, str and bytes.
_SortKey: TypeAlias = (
    int | float | Decimal | Fraction | str | bytes | SupportsIndex | None | date | time | UUID
    | tuple[_SortKey, ...] | list[_SortKey]
)

class _Codec(Protocol[_T]):
    """Turns an item into bytes and back."""

    def encode(self, item: _T, /) -> bytes: ...
    def decode(self, data: bytes, /) -> _T: ...

class _Writable(Protocol):
    def write(self, data: bytes, /) -> int | None: ...

@final
class _SortedIterator(Iterator[_T_co]):
    """The items of a sorter, merged in order as they are read."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> _T_co: ...

@final
class _SorterStats(NamedTuple):
    """What a sorter has done: counts of items, runs and bytes, and the time of each phase."""

    items: int
    bytes_in: int
    runs_spilled: int
    merge_passes: int
    bytes_spilled: int
    bytes_spilled_compressed: int
    peak_memory: int
    fill_seconds: float
    spill_wait_seconds: float
    spill_seconds: float
    merge_pass_seconds: float
    last_sort_seconds: float
    read_seconds: float

@final
class Sorter(Generic[_T]):
    """Sort more items than fit in memory: add them, then sort them once.

    Each item is turned into a sort key by `key`, or is its own key, and into bytes by `codec`, or
    by pickle, once, as it is added. Keys and bytes, and 16 bytes more for each item, are held in at
    most `max_bytes` of memory, unless one item alone needs more. Once half of that is full, a
    background thread sorts it and writes it, compressed with LZ4, to a private directory in
    `tmp_dir` while the other half fills. Sorting merges what was written with what is held, so
    items come out in key order, and items with equal keys come out in the order they were
    added. A merge reads at most `max_open` runs at once, each a block of up to 128 KiB at a
    time, holding the block and room for it compressed, about 269 KiB, and its next item, so it
    takes about `max_open` times the largest item, plus those blocks, besides what is held.

    The private directory is removed when reading ends, on `close()`, when a `with` block exits,
    or when the sorter is garbage collected. Threads sharing a sorter take turns, and a sorter
    must not be shared across a fork: make a new one in the child.

    Ctrl-C, or any signal handler that raises, interrupts waiting for a spill, merging, and
    reading; an interrupted merge or read ends the sort and removes what was spilled, which can take
    a moment when much was spilled, and the sorter then refuses to be read again.

    Args:
        key: A function returning the sort key of an item: an int, float, Decimal, Fraction, str,
            bytes, None, date, datetime, time, UUID, or a tuple or list of them, compared as Python
            compares them (`key_bytes` tells how, and the order where Python refuses). None sorts
            items by themselves. The first datetime decides whether the sorter's datetimes are
            naive or aware; a key holding the other kind raises TypeError. NumPy integers, like
            anything with `__index__`, are ints, and `np.float64`, `np.str_` and `np.bytes_` are a
            float, a str and bytes; other NumPy scalars, such as `np.float32` and `np.bool_`, raise
            TypeError, so convert them first.
        reverse: Sort keys in descending order. Items with equal keys still come out in the order
            they were added, as with `sorted(reverse=True)`.
        codec: Encodes each item into bytes and decodes it back; pickle if None.
        max_bytes: The most memory to hold keys and encoded items in, counting 16 bytes more for
            each, at least 2.
        tmp_dir: The directory to spill into, which must be writable, or None for
            `tempfile.gettempdir()`.
        max_open: The most spilled runs to merge at once, at least 2; more are merged in passes.
        threads: The threads that sort each half and compress each run: with 1, the thread that
            spills it, and with more, a pool of this sorter's own. Writing a run holds, beyond
            `max_bytes`, a 1 MiB buffer of what it writes and, for each block compressed at once,
            a 128 KiB block and room for it compressed, about 269 KiB: one block with 1 thread, and
            with more, two for each thread, but at most 16, about 4.2 MiB.

    Raises:
        TypeError: If `key` is not callable, or `codec` lacks `encode` and `decode` methods.
        ValueError: If `max_bytes` or `max_open` is less than 2, or `threads` is less than 1.
        OSError: If `tmp_dir` is not a directory, or a directory cannot be made in it.
    """

    def __new__(
        cls,
        key: Callable[[_T], _SortKey] | None = None,
        *,
        reverse: object = False,
        codec: _Codec[_T] | None = None,
        max_bytes: SupportsIndex = 268435456,
        tmp_dir: str | os.PathLike[str] | None = None,
        max_open: SupportsIndex = 64,
        threads: SupportsIndex = 1,
    ) -> Self: ...
    def __len__(self) -> int: ...
    def add(self, item: _T, /) -> None:
        """Add an item, keyed and encoded now.

        Raises:
            TypeError: If the key is not a sort key, or holds datetimes of the other kind (naive or
                aware) than earlier keys, or the codec does not return bytes.
            ValueError: If the sorter is closed, or a Decimal or Fraction key is beyond the limits
                that `key_bytes` gives.
            RuntimeError: If the sorter has been read, or an earlier error lost items.
            OSError: If spilling to disk fails.
        """
    def add_encoded(self, key: _SortKey, payload: bytes, /) -> None:
        """Add bytes that the codec would decode, with their sort key, calling neither.

        The key is taken as `add` takes one, reversed too when the sorter is. `key_bytes(k)`, as a
        bytes key, sorts as k itself does, in either direction.
        """
    def sort(self, items: Iterable[_T] | None = None, /) -> _SortedIterator[_T]:
        """Add every item given, then return every item added, decoded, in sorted order.

        Items are keyed and encoded as they are added. A sorter can be sorted only once; items
        given before one that fails stay added, and the sorter is not sorted. Once the iterator
        raises, as when decoding an item fails, it ends, as a generator does.

        Raises:
            TypeError: If a key is not a sort key, or holds datetimes of the other kind (naive or
                aware) than earlier keys, or the codec does not return bytes.
            ValueError: If the sorter is closed, which the iterator raises too once it is, or a
                Decimal or Fraction key is beyond the limits that `key_bytes` gives.
            RuntimeError: If the sorter has been sorted, or an earlier error lost items.
            OSError: If spilling, or reading what was spilled, fails.
        """
    def encoded(self) -> _SortedIterator[bytes]:
        """Return the encoded items, as bytes, in sorted order, decoding none of them."""
    def write_to(self, handle: _Writable) -> None:
        """Write every encoded item, in sorted order, to a binary handle, in chunks of about 1 MiB.

        The next chunk is merged on another thread while the handle writes this one. This reads
        the sorter, so it can be done only once.
        """
    def close(self) -> None:
        """Drop every item and remove what was spilled; closing again does nothing.

        A `write_to` already running in another thread is not stopped: it writes every item, then
        removes what was spilled.
        """
    def __enter__(self) -> Self: ...
    def __exit__(self, *_exc_info: object) -> None: ...
    @classmethod
    def __class_getitem__(cls, key: Any) -> GenericAlias: ...
    def stats(self) -> _SorterStats:
        """Return what the sorter has done so far, as a named tuple.

        items and bytes_in count what was added (key and encoded bytes); runs_spilled the runs
        that spills wrote and merge_passes the passes that merged runs before the final merge;
        bytes_spilled the record bytes of every run written and bytes_spilled_compressed what
        reached the files; peak_memory the most memory held for items at once, counted as
        max_bytes counts it. The times, in seconds: fill_seconds from the sorter's making to the
        start of its read, spill_wait_seconds of waiting for spills, spill_seconds of the spill
        threads' work (alongside adding), merge_pass_seconds, last_sort_seconds of sorting what was
        held at the read, and read_seconds from the start of the read to its end, or to now.
        """
    def _add_lines(self, buffer: Buffer, sep: bytes, reverse: bool = False, /) -> int: ...
    def _write_lines(self, handle: _Writable, sep: bytes | None, /, *, unique: bool = False) -> None: ...
    def _add_keyed(self, buffer: Buffer, plan: tuple[Any, ...], at_end: bool, /) -> tuple[int, int, str | None]: ...
    def _add_framed(self, buffer: Buffer, /) -> int: ...

__all__ += ["key_bytes"]

def key_bytes(key: _SortKey, /) -> bytes:
    """Return the bytes that a Sorter orders the sort key `key` by.

    Comparing two results with < gives Python's order of the keys: ints, bools, floats, Decimals
    and Fractions by exact value; strs by code point; bytes by byte; dates, times and naive
    datetimes by their fields; aware datetimes by the instant they name; UUIDs by their int;
    tuples and lists element by element. Where Python refuses to compare, None, numbers, str,
    bytes, tuple, list, date, naive datetime, aware datetime, time, UUID, in that order, and
    every NaN, a Decimal's too, is one key above every other number. Equal keys, such as 1, 1.0,
    True, Decimal(1) and Fraction(1), give equal bytes. The bytes are not meant to be decoded.

    Two aware datetimes of one tzinfo, which Python compares by wall time, are ordered by their
    instants, which differ from it only across a fold. Only a Sorter refuses to mix naive and
    aware datetimes: these bytes put every naive one first, where Python raises once two of them
    meet.

    Raises:
        TypeError: If `key` is not a sort key, such as a time with a tzinfo.
        ValueError: If a Decimal has more than 1100 digits or an exponent outside -1100 to 1100,
            or a Fraction's numerator or denominator is 2**4096 or more.
        RecursionError: If `key` nests tuples or lists more than 256 deep.
    """

__all__ += ["sort_files", "SortReport", "Key"]

class SortReport(NamedTuple):
    """What `sort_files` did: the bytes it read from its inputs, and its sorter's `stats()`."""

    bytes_read: int
    stats: _SorterStats

@final
class Key:
    """One key of a JSON Lines or CSV record, for `sort_files`' `key`.

    `name` is a str in the command's NAME syntax ("user.id", '"a.b".c' for the field "c" of the
    field "a.b", "@2" for a CSV's second column), a tuple of str (JSON steps, each taken
    literally), or an int (a CSV column counted from 0, as row[i] counts). `type` is "text",
    "number" or "timestamp"; `descending` the key's direction; `nulls_last` None (a null is below
    every value: first ascending, last descending), True or False. Frozen: a value, hashable.

    Raises:
        TypeError: If an argument is of the wrong type.
        ValueError: If `type` is unknown or the column is negative.
    """

    name: str | tuple[str, ...] | int
    type: str
    descending: bool
    nulls_last: bool | None
    def __init__(
        self,
        name: str | tuple[str, ...] | int,
        type: str = "text",
        descending: bool = False,
        nulls_last: bool | None = None,
    ) -> None: ...

class _Readable(Protocol):
    def read(self, size: int, /) -> bytes | bytearray | memoryview | None: ...

_Input: TypeAlias = str | bytes | os.PathLike[str] | _Readable
_RecordKey: TypeAlias = str | Key

def sort_files(
    inputs: _Input | Iterable[_Input] | None,
    output: str | os.PathLike[str] | _Writable | None,
    *,
    format: str = "lines",
    key: _RecordKey | list[_RecordKey] | Callable[[Any], _SortKey] | None = None,
    numeric: bool = False,
    reverse: bool | list[bool] = False,
    nulls_last: bool | list[bool | None] | None = None,
    unique: bool = False,
    header: bool = True,
    decompress: bool = False,
    ignore_blanks: bool = False,
    field_separator: str | bytes | None = None,
    zero_terminated: bool = False,
    delimiter: str = ",",
    max_bytes: int = 268435456,
    threads: int = 1,
    max_open: int = 64,
    tmp_dir: str | os.PathLike[str] | None = None,
    progress: bool = False,
    modifiers: str = "",
) -> SortReport:
    """Sort the records of files into `output` in bounded memory, stably (as the command does
    with -s).

    `format` is "lines" (records end with a newline, or a NUL with `zero_terminated`),
    "jsonl" (each line a JSON value; blank lines and a UTF-8 byte order mark at the start of a
    file are skipped) or "csv" (the header row of the first file is written first, and every
    file must have the same one; with `header=False` the files hold records alone). JSON Lines
    and CSV inputs compressed with gzip, zstd, bzip2 or xz are read decompressed, and lines too
    with `decompress=True`.

    `key`, for lines, is a -k field as on the command line ("2,2n") or a list of them (the whole
    line when None). For JSON Lines and CSV it is a str of keys as -k takes them
    ("country,amount:number:desc,ts:timestamp"), a `Key`, or a list of either (the whole value,
    or every column, when None). `reverse` reverses every key, or with a list of bools one per
    key, each key whose item is True; `nulls_last` places the nulls of every key, or with a list
    one per key (None leaves a key as it is); `numeric` gives a single key the type number (for
    lines, -n). `key` may also be a function, the slow path, called once per record with a
    line's bytes without its newline, or a JSON line's value, returning its sort key as a
    `Sorter`'s key function does; then only `reverse` (one bool), `unique` and `decompress`
    apply, and CSV needs keys by name. `unique` keeps the first record of each run of equal
    keys; `modifiers` holds the letters of the global ordering options besides -b -n -r (for
    example "fV" for -f -V), for lines only.

    `inputs` are paths ("-" is standard input), glob patterns (their matches in name order) or
    binary file objects (anything with `readinto` or `read`, such as `gzip.open(path)`,
    `io.BytesIO` or `sys.stdin.buffer`), read as they are, named in messages by their `name`
    or as "<stream N>"; `output` is a path (replaced only once the sort succeeded), a binary
    handle, or None or "-" for standard output.

    Raises:
        TypeError: If an argument is of the wrong type, such as an input that is neither a path
            nor a binary file object.
        ValueError: If an argument or a key cannot be read.
        FileNotFoundError: If a glob pattern matches no file.
        InputError: If a record is bad: its message names file and line (a ValueError).
        OSError: If reading, spilling or writing fails.
        What a file object's read or a key function raises, unchanged.
    """
