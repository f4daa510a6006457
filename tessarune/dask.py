"""Sort files that outgrow one machine across a Dask cluster, each task sorting out of core.

Dask places the tasks, moves only paths, small samples and counts between them, and retries
tasks of lost workers; every task reads and writes files on storage that all workers share, and
each partition is sorted by a `Sorter`, so no task needs its data to fit in memory.

The work happens in three phases, each a set of tasks with a readable name:

- ``tessarune-sample``: one task per shard reads a bounded sample of its keys, and
  ``tessarune-boundaries`` picks the key bytes that split the sample into ranges of about equal
  size;
- ``tessarune-bucket``: one task per shard streams its items into one bucket file per range,
  each record holding the item's key bytes and its line;
- ``tessarune-partition``: one task per range sorts its buckets, in shard order, with a `Sorter`
  bounded by ``max_bytes``, and writes its part under a temporary name;

then ``tessarune-publish`` renames every part into place, and ``tessarune-cleanup`` removes the
buckets, whether the sort succeeded or not.
"""

from __future__ import annotations

import bisect
import glob
import json
import os
import random
import shutil
import struct
import time
import uuid
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

try:
    import distributed
except ImportError as error:  # pragma: no cover - depends on what is installed
    raise ImportError(
        "tessarune.dask needs Dask's distributed scheduler: pip install 'tessarune[dask]'"
    ) from error

from tessarune import Sorter, key_bytes
from tessarune.jsonl import is_blank, without_bom

__all__ = ["sort_files"]

FORMATS = ("lines", "jsonl")
DEFAULT_MAX_BYTES = 268435456

# A bucket record: key length and line length, then the key bytes and the line.
_HEADER = struct.Struct("<II")
# Below this a shard is sampled by reading it whole; above it, by seeking to random offsets,
# so that sampling a large shard reads a few blocks rather than all of it.
_READ_WHOLE_BELOW = 1 << 20
_MIN_SAMPLE = 100
_MAX_SAMPLE = 4000
# Each shard task buffers this much in all before appending to its bucket files.
_BUCKET_BUFFER_TOTAL = 16 << 20
_BUCKET_READ_CHUNK = 4 << 20
# Running tasks look this often whether another task failed and the sort is over.
_ABORT_POLL_SECONDS = 1.0
_ABORT_POLL_ITEMS = 4096


@dataclass
class _Report:
    """What a sort did: its parts, and the bytes each phase read and wrote."""

    parts: list[str]
    input_bytes: int = 0
    sample_items: int = 0
    sample_bytes: int = 0
    bucket_bytes: int = 0
    output_bytes: int = 0
    phase_seconds: dict[str, float] = field(default_factory=dict)


@dataclass(frozen=True)
class _Job:
    """What every task of one sort needs to know; sent to the workers with each task."""

    key: Callable[[Any], Any] | None
    format: str
    work_dir: str
    abort_event: str

    def line_keyer(self) -> Callable[[bytes], bytes | None]:
        """A function from a line, ending with b"\\n", to its key bytes; None for a blank JSONL
        line. Made once per task, so that each line pays for no test it does not need."""
        key = self.key
        if self.format == "lines":
            if key is None:
                return lambda line: key_bytes(line[:-1])
            return lambda line: key_bytes(key(line[:-1]))
        loads = json.loads

        def json_keyer(line: bytes) -> bytes | None:
            if is_blank(line):
                return None
            item = loads(line.decode())
            return key_bytes(item if key is None else key(item))

        return json_keyer

    def first_line(self, line: bytes) -> bytes:
        """The first line of a shard as an item: a JSON Lines file may begin with a BOM."""
        return without_bom(line) if self.format == "jsonl" else line

    def bucket_path(self, shard: int, part: int) -> str:
        return os.path.join(self.work_dir, f"bucket-{shard:05d}-{part:05d}")

    def part_path(self, part: int, suffix: str) -> str:
        return os.path.join(self.work_dir, f"part-{part:05d}.{suffix}")


def _note_shard(error: BaseException, path: str, line_no: int | None) -> None:
    where = f"in shard {path}" if line_no is None else f"in shard {path}, line {line_no}"
    error.add_note(where)


class _AbortWatch:
    """Tells a running task, cheaply, that another task failed and its work is not wanted."""

    def __init__(self, name: str) -> None:
        self._name = name
        self._next_poll = time.monotonic() + _ABORT_POLL_SECONDS

    def poll(self) -> None:
        """Raises if the sort was given up. Cheap unless a poll is due: call it every
        _ABORT_POLL_ITEMS items or so."""
        now = time.monotonic()
        if now < self._next_poll:
            return
        self._next_poll = now + _ABORT_POLL_SECONDS
        if distributed.Event(self._name).is_set():
            raise RuntimeError("stopped because another task of the sort failed")


# Phase 1: sampling.


def _sample_lines(path: str, count: int, rng: random.Random,
                  first_line: Callable[[bytes], bytes]) -> Iterator[tuple[bytes, float]]:
    """Up to `count` lines of the file, each with the bytes of the shard it stands for."""
    size = os.path.getsize(path)
    with open(path, "rb") as handle:
        if size < _READ_WHOLE_BELOW:
            lines = [line if line.endswith(b"\n") else line + b"\n" for line in handle]
            if lines:
                lines[0] = first_line(lines[0])
            if len(lines) <= count:
                yield from ((line, float(len(line))) for line in lines)
            else:
                yield from ((line, size / count) for line in rng.sample(lines, count))
            return
        for offset in sorted(rng.randrange(size) for _ in range(count)):
            # The line after the one holding the offset: the whole line, never a tail.
            handle.seek(offset)
            if offset:
                handle.readline()
            line = handle.readline()
            if not offset:
                line = first_line(line)
            if line:
                yield (line if line.endswith(b"\n") else line + b"\n"), size / count


def _sample_shard(job: _Job, shard: int, path: str, count: int) -> list[tuple[bytes, float]]:
    sample = []
    keyer = job.line_keyer()
    try:
        for line, weight in _sample_lines(path, count, random.Random(shard), job.first_line):
            # A line that cannot be keyed is left out here; the bucket phase reads every line
            # and reports it with its line number.
            try:
                key = keyer(line)
            except Exception:
                continue
            if key is not None:
                sample.append((key, weight))
    except Exception as error:
        _note_shard(error, path, None)
        raise
    return sample


@dataclass(frozen=True)
class _Boundaries:
    """The key bytes that end each range but the last, and the size of the sample behind them."""

    keys: list[bytes]
    sample_items: int
    sample_bytes: int


def _choose_boundaries(samples: list[list[tuple[bytes, float]]], partitions: int) -> _Boundaries:
    """Key bytes that cut the weighted sample into `partitions` ranges of about equal weight.

    Strictly increasing: a key that takes up several ranges' worth of the sample gives one
    boundary, so its items all land in one range, which is then larger than the others.
    """
    pooled = sorted((k, w) for sample in samples for k, w in sample)
    total = sum(w for _, w in pooled)
    boundaries: list[bytes] = []
    cumulative = 0.0
    step = 1
    for key, weight in pooled:
        cumulative += weight
        while step < partitions and cumulative >= total * step / partitions:
            if not boundaries or boundaries[-1] < key:
                boundaries.append(key)
            step += 1
    # The last key as a boundary would leave the range after it empty.
    if boundaries and boundaries[-1] == pooled[-1][0]:
        boundaries.pop()
    return _Boundaries(boundaries, len(pooled), sum(len(k) for k, _ in pooled))


# Phase 2: bucketing.


def _bucket_shard(job: _Job, shard: int, path: str, chosen: _Boundaries) -> list[int]:
    """Streams the shard's items into one bucket file per range; returns the bytes of each."""
    boundaries = chosen.keys
    os.makedirs(job.work_dir, exist_ok=True)
    parts = len(boundaries) + 1
    flush_at = max(64 << 10, _BUCKET_BUFFER_TOTAL // parts)
    buffers = [bytearray() for _ in range(parts)]
    written = [0] * parts
    watch = _AbortWatch(job.abort_event)

    def flush(part: int) -> None:
        # Append mode and no handle kept open: the number of ranges is not bounded by the
        # number of files a process may hold open. A retried task starts each file afresh.
        mode = "ab" if written[part] else "wb"
        with open(job.bucket_path(shard, part), mode) as out:
            out.write(buffers[part])
        written[part] += len(buffers[part])
        buffers[part].clear()

    keyer = job.line_keyer()
    pack = _HEADER.pack
    find_part = bisect.bisect_left
    line_no = 0
    try:
        with open(path, "rb") as handle:
            for line_no, line in enumerate(handle, 1):
                if not line_no % _ABORT_POLL_ITEMS:
                    watch.poll()
                if not line.endswith(b"\n"):
                    line += b"\n"
                if line_no == 1:
                    line = job.first_line(line)
                key = keyer(line)
                if key is None:
                    continue
                part = find_part(boundaries, key)
                buf = buffers[part]
                buf += pack(len(key), len(line))
                buf += key
                buf += line
                if len(buf) >= flush_at:
                    flush(part)
        line_no = None
        for part in range(parts):
            if buffers[part]:
                flush(part)
    except Exception as error:
        _note_shard(error, path, line_no)
        raise
    return written


# Phase 3: sorting each range.


def _add_bucket(path: str, add: Callable[[bytes, bytes], None], watch: _AbortWatch) -> None:
    """Adds every record of a bucket file, in order, as add(key bytes, line)."""
    unpack = _HEADER.unpack_from
    header = _HEADER.size
    with open(path, "rb") as handle:
        pending = b""
        while chunk := handle.read(_BUCKET_READ_CHUNK):
            data = pending + chunk if pending else chunk
            view = memoryview(data)
            pos = 0
            end = len(data)
            while end - pos >= header:
                key_len, line_len = unpack(view, pos)
                start = pos + header
                stop = start + key_len + line_len
                if stop > end:
                    break
                add(data[start : start + key_len], data[start + key_len : stop])
                pos = stop
            pending = data[pos:]
            watch.poll()
        if pending:
            raise OSError(f"{path} ends inside a record")


def _sort_partition(job: _Job, part: int, bucket_sizes: list[int], max_bytes: int,
                    threads: int, tmp_dir: str | None) -> int:
    """Sorts the range's buckets, in shard order, into its part; returns the part's size.

    `bucket_sizes` holds the size of this range's bucket of each shard."""
    done = job.part_path(part, "done")
    if os.path.exists(done):  # a retry of a task whose worker died after finishing it
        return os.path.getsize(done)
    writing = job.part_path(part, "tmp")
    watch = _AbortWatch(job.abort_event)
    try:
        with Sorter(max_bytes=max_bytes, threads=threads, tmp_dir=tmp_dir) as sorter:
            for shard, size in enumerate(bucket_sizes):
                if size:
                    # The key bytes, as a bytes key, order as the keys they encode.
                    _add_bucket(job.bucket_path(shard, part), sorter.add_encoded, watch)
            with open(writing, "wb") as out:
                sorter.write_to(out)
        os.replace(writing, done)
    except Exception as error:
        error.add_note(f"while sorting part {part}")
        raise
    # Once the part is safe its buckets are not needed: free the space now, not at the end.
    for shard, size in enumerate(bucket_sizes):
        if size:
            try:
                os.remove(job.bucket_path(shard, part))
            except FileNotFoundError:
                pass
    return os.path.getsize(done)


def _publish(job: _Job, parts: list[str], _sizes: list[int]) -> None:
    for part, final in enumerate(parts):
        os.replace(job.part_path(part, "done"), final)


def _cleanup(work_dir: str) -> None:
    shutil.rmtree(work_dir, ignore_errors=True)


# The driver.


def _shard_paths(inputs: Iterable[str | os.PathLike[str]]) -> list[str]:
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    paths: list[str] = []
    for entry in inputs:
        text = os.fspath(entry)
        if glob.has_magic(text):
            matched = sorted(glob.glob(text))
            if not matched:
                raise FileNotFoundError(f"{text} matches no file")
            paths.extend(os.path.abspath(p) for p in matched)
        else:
            paths.append(os.path.abspath(text))
    return paths


def _wait_all(client: distributed.Client, futures: list[distributed.Future], event: str) -> None:
    """Waits for every future; on the first that fails, stops the others and raises its error.

    The caller still waits for the stopped tasks before it removes anything they may write."""
    for future in distributed.as_completed(futures):
        if future.status != "finished":
            distributed.Event(event, client=client).set()
            future.result()
            raise RuntimeError(f"task {future.key} ended as {future.status}")


def _run_sort(inputs, output_dir, *, key=None, format="lines", partitions=None, client=None,
              max_bytes=DEFAULT_MAX_BYTES, threads=1, tmp_dir=None) -> _Report:
    if format not in FORMATS:
        raise ValueError(f"format must be 'lines' or 'jsonl', not {format!r}")
    if key is not None and not callable(key):
        raise TypeError(f"key must be a function returning a sort key, not {type(key).__name__}")
    if client is None:
        client = distributed.get_client()
    if partitions is None:
        partitions = max(1, 2 * len(client.scheduler_info()["workers"]))
    if partitions < 1:
        raise ValueError(f"partitions must be at least 1, not {partitions}")
    shards = _shard_paths(inputs)
    output_dir = os.path.abspath(os.fspath(output_dir))
    if tmp_dir is not None:
        tmp_dir = os.fspath(tmp_dir)

    token = uuid.uuid4().hex[:16]
    job = _Job(key=key, format=format, work_dir=os.path.join(output_dir, f".tessarune-{token}"),
               abort_event=f"tessarune-abort-{token}")
    report = _Report(parts=[])
    per_shard = min(_MAX_SAMPLE, max(_MIN_SAMPLE, -(-64 * partitions // max(1, len(shards)))))
    submitted: list[distributed.Future] = []

    def submit(name, fn, *args, index=None):
        name = f"tessarune-{name}-{token}"
        future = client.submit(fn, *args, key=name if index is None else (name, index), pure=False)
        submitted.append(future)
        return future

    try:
        started = time.monotonic()
        samples = [submit("sample", _sample_shard, job, i, path, per_shard, index=i)
                   for i, path in enumerate(shards)]
        boundaries_future = submit("boundaries", _choose_boundaries, samples, partitions)
        _wait_all(client, samples + [boundaries_future], job.abort_event)
        chosen = boundaries_future.result()
        report.sample_items, report.sample_bytes = chosen.sample_items, chosen.sample_bytes
        report.phase_seconds["sample"] = time.monotonic() - started

        started = time.monotonic()
        buckets = [submit("bucket", _bucket_shard, job, i, path, boundaries_future, index=i)
                   for i, path in enumerate(shards)]
        # Waiting here, not only at the end, keeps the phases' times apart and lets the
        # scheduler see the whole shuffle done before any range starts.
        _wait_all(client, buckets, job.abort_event)
        bucket_sizes = client.gather(buckets)
        report.bucket_bytes = sum(map(sum, bucket_sizes))
        report.phase_seconds["bucket"] = time.monotonic() - started

        started = time.monotonic()
        count = len(chosen.keys) + 1
        report.parts = [os.path.join(output_dir, f"part-{p:05d}") for p in range(count)]
        # Each range's task gets only its own column of sizes, and no dependency on the bucket
        # tasks: the graph grows with shards plus ranges, not with their product.
        sorted_parts = [submit("partition", _sort_partition, job, p,
                               [sizes[p] for sizes in bucket_sizes], max_bytes, threads, tmp_dir,
                               index=p) for p in range(count)]
        _wait_all(client, sorted_parts, job.abort_event)
        sizes = client.gather(sorted_parts)
        report.output_bytes = sum(sizes)
        published = submit("publish", _publish, job, report.parts, sorted_parts)
        published.result()
        report.phase_seconds["partition"] = time.monotonic() - started
    finally:
        _finish(client, submitted, job, token)
    report.input_bytes = sum(os.path.getsize(p) for p in shards if os.path.exists(p))
    return report


def _finish(client: distributed.Client, submitted: list[distributed.Future], job: _Job,
            token: str) -> None:
    """Removes the buckets and temporary parts once no task can still write them."""
    try:
        if not all(future.done() for future in submitted):
            # Given up early, as by Ctrl-C here: no running task's work is wanted.
            distributed.Event(job.abort_event, client=client).set()
        distributed.wait(submitted)
        client.submit(_cleanup, job.work_dir, key=f"tessarune-cleanup-{token}",
                      pure=False).result()
    except Exception:
        # The cluster may be what failed; a client that sees the shared storage can still
        # remove what the tasks left.
        _cleanup(job.work_dir)
    finally:
        client.cancel(submitted)
        try:
            distributed.Event(job.abort_event, client=client).clear()
        except Exception:
            pass


def sort_files(
    inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    output_dir: str | os.PathLike[str],
    *,
    key: Callable[[Any], Any] | None = None,
    format: str = "lines",
    partitions: int | None = None,
    client: distributed.Client | None = None,
    max_bytes: int = DEFAULT_MAX_BYTES,
    threads: int = 1,
    tmp_dir: str | os.PathLike[str] | None = None,
) -> list[str]:
    """Sort the items of every input shard across a Dask cluster into ordered part files.

    Each worker task sorts out of core with a `Sorter`, so no partition needs to fit in a
    worker's memory. Inputs and `output_dir` must be on storage that every worker can read and
    write (a shared file system; any local path on a `LocalCluster`).

    Args:
        inputs: Paths or glob patterns of the shards (a pattern's matches in name order).
        output_dir: Where the parts go, made if missing. Buckets and unfinished parts are kept
            under a hidden temporary directory in it and removed at the end, also on failure.
        key: A function of one item returning its sort key, sent to the workers by Dask, or
            None to sort the items by themselves.
        format: "lines": each item is the bytes of one line, without its newline; "jsonl":
            each item is the JSON value of one line; lines of only whitespace are skipped, and
            so is a UTF-8 byte order mark at the start of a shard.
        partitions: How many ranges to cut the keys into, at most; twice the number of
            workers if None. A key that fills more than one range keeps all its items in one
            part, so there may be fewer parts.
        client: The Dask client; the current one if None.
        max_bytes, threads, tmp_dir: The `Sorter` arguments of each partition's task, which
            holds at most about `max_bytes` of items in memory.

    Returns:
        The paths of the parts, ``output_dir/part-00000`` onwards. Concatenated, they hold
        every input line once (with a newline added to a last line that lacks one), in key
        order; equal keys keep the order of their shards in `inputs`, then of their lines.

    Raises:
        The first error of any task, with a note naming the shard and line, or the part, where
        it happened. No part is put in place unless every part was written.
    """
    return _run_sort(inputs, output_dir, key=key, format=format, partitions=partitions,
                     client=client, max_bytes=max_bytes, threads=threads, tmp_dir=tmp_dir).parts
