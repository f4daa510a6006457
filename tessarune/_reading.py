"""Inputs read in Python: what sort_files and the cluster's sort_files share when a key function
keys the records, or when the cluster samples a shard.

Globs expand to their matches in name order. A compressed input (gzip, zstd, bzip2, xz, known
by its first bytes) is read decompressed. A key function receives a line's bytes without its
newline for lines, and a JSON line's value for JSON Lines (lines of only whitespace are no
records); the extension calls it once per record through `python_keyer`, a whole buffer of
records per call into the extension.
"""

from __future__ import annotations

import bz2
import glob
import gzip
import io
import json
import lzma
import os
from collections.abc import Callable
from typing import Any

from compression import zstd

from _tessarune import key_bytes

from .jsonl import BOM, is_blank

# A buffer of records handed to the extension at a time: large enough that each call keys
# thousands of records.
READ_SIZE = 4 << 20
_COMPLEMENT = bytes(255 - i for i in range(256))
_MAGIC_SIZE = 10


def expand(entry: str | bytes | os.PathLike) -> list:
    """A path, or the matches of a glob pattern in name order; a pattern that matches nothing
    raises FileNotFoundError naming it."""
    text = os.fspath(entry)
    # A file whose own name holds [, * or ? is itself, not a pattern.
    if isinstance(text, str) and glob.has_magic(text) and not os.path.lexists(text):
        matched = sorted(glob.glob(text))
        if not matched:
            raise FileNotFoundError(f"{text} matches no file")
        return matched
    return [text]


def is_readable(obj: Any) -> bool:
    return hasattr(obj, "readinto") or hasattr(obj, "read")


def compression_of(head: bytes) -> str | None:
    """The compression whose magic `head`, an input's first bytes, starts with."""
    if head.startswith(b"\x1f\x8b\x08"):
        return "gzip"
    if head.startswith(b"\x28\xb5\x2f\xfd"):
        return "zstd"
    if head.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    if (head[:3] == b"BZh" and head[3:4].isdigit() and head[3:4] != b"0"
            and head[4:10] in (b"\x31\x41\x59\x26\x53\x59", b"\x17\x72\x45\x38\x50\x90")):
        return "bzip2"
    return None


class _Prefixed(io.RawIOBase):
    """A stream whose first bytes were read to look for a compression's magic: those bytes,
    then the rest of the stream."""

    def __init__(self, head: bytes, stream: Any) -> None:
        self._head, self._stream = head, stream

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        with memoryview(buffer) as view:
            if self._head:
                n = min(len(view), len(self._head))
                view[:n] = self._head[:n]
                self._head = self._head[n:]
                return n
            return read_into(self._stream, view)


def read_into(stream: Any, view: memoryview) -> int:
    """One read of a binary stream into `view`: readinto where it has one, else read."""
    if hasattr(stream, "readinto"):
        got = stream.readinto(view)
    else:
        data = stream.read(len(view))
        if isinstance(data, str):
            raise TypeError(f"{stream!r} is a text stream: open it in binary mode")
        got = None if data is None else len(data)
        if got:
            view[:got] = data
    if got is None:
        raise BlockingIOError(f"{stream!r} has no data now (a non-blocking stream)")
    return got


def _decompressing(kind: str, raw: Any):
    if kind == "gzip":
        return gzip.GzipFile(fileobj=raw, mode="rb")
    if kind == "zstd":
        return zstd.ZstdFile(raw, "r")
    if kind == "bzip2":
        return bz2.BZ2File(raw, "r")
    return lzma.LZMAFile(raw, "r", format=lzma.FORMAT_XZ)


class DecompressionError(ValueError):
    """A compressed input that ends early or is damaged, named."""


def decompressed(stream: Any, name: str) -> tuple[Any, str | None]:
    """The stream as its text reads, decompressed when it starts with a compression's magic,
    and that compression's name (None if it has none)."""
    head = b""
    while len(head) < _MAGIC_SIZE:
        chunk = bytearray(_MAGIC_SIZE - len(head))
        got = read_into(stream, memoryview(chunk))
        if not got:
            break
        head += bytes(chunk[:got])
    kind = compression_of(head)
    raw = _Prefixed(head, stream)
    if kind is None:
        return raw, None
    return _Checked(_decompressing(kind, raw), name, kind), kind


class _Checked(io.RawIOBase):
    """A decompressing stream whose errors name the input."""

    def __init__(self, inner: Any, name: str, kind: str) -> None:
        self._inner, self._name, self._kind = inner, name, kind

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        try:
            return self._inner.readinto(buffer)
        except EOFError:
            raise DecompressionError(f"{self._name}: truncated {self._kind} input") from None
        except (OSError, lzma.LZMAError, zstd.ZstdError, ValueError) as error:
            raise DecompressionError(f"{self._name}: damaged {self._kind} input: {error}") from error


def python_keyer(key: Callable[[Any], Any] | None, format: str, reverse: bool = False) -> Callable[[bytes], Any]:
    """The keyer of ("python", keyer) plans: key bytes of a line without its newline, None for
    a blank JSON line; an exception of the key function is kept in `keyer.failures` for the
    caller to raise, and a str stops the reading at the line."""
    failures: list[BaseException] = []
    loads = json.loads

    def keyer(line: bytes) -> bytes | str | None:
        try:
            if format == "lines":
                keyed = key_bytes(line if key is None else key(line))
            else:
                if is_blank(line + b"\n"):
                    return None
                item = loads(line.decode())
                keyed = key_bytes(item if key is None else key(item))
            return keyed.translate(_COMPLEMENT) if reverse else keyed
        except Exception as error:
            failures.append(error)
            return "the key function failed"

    keyer.failures = failures
    return keyer


def feed_lines(handle: Any, bom: bool, add: Callable[[memoryview, bool], int],
               on_read: Callable[[int], None] | None = None) -> None:
    """Hands a stream of lines to `add(view, at_end) -> bytes taken` a buffer at a time, past
    a byte order mark if `bom`; at the end a last line without its newline gets one.
    `on_read(n)` hears of every read."""
    buffer = bytearray(READ_SIZE)
    held = 0
    at_end = False
    while not at_end:
        if held == len(buffer):  # a line longer than the buffer
            buffer.extend(bytes(len(buffer)))
        with memoryview(buffer) as view:
            got = read_into(handle, view[held:])
        if on_read is not None and got:
            on_read(got)
        held += got
        at_end = not got
        if bom and (held >= len(BOM) or at_end):
            bom = False
            if buffer.startswith(BOM):
                buffer[:held - len(BOM)] = buffer[len(BOM):held]
                held -= len(BOM)
        if at_end and held and buffer[held - 1] != ord("\n"):
            if held == len(buffer):
                buffer.append(0)
            buffer[held] = ord("\n")
            held += 1
        with memoryview(buffer) as view:
            consumed = add(view[:held], at_end)
        buffer[:held - consumed] = buffer[consumed:held]
        held -= consumed
    if held:
        raise RuntimeError(f"{held} bytes left unread at the end")
