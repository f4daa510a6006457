"""Sort files that outgrow one machine across a Dask cluster, each task sorting out of core.

Dask places the tasks, moves only paths, small samples and counts between them, and retries
tasks of lost workers; every task reads and writes files on storage that all workers share, and
each partition is sorted by a `Sorter`, so no task needs its data to fit in memory. A key given
by name is read as `tessarune.sort_files` reads it: the extension reads each shard, keys its
records and writes and reads back the buckets itself; a key function is called on every record,
the extension keying and cutting a whole buffer per call.

The work happens in phases, each a set of tasks with a readable name:

- ``tessarune-prepare`` refuses an output directory that holds parts (unless overwriting) and
  makes the sort's work directory in it;
- ``tessarune-sample``: one task per shard keys a bounded sample of its records, and
  ``tessarune-boundaries`` picks the key bytes that split the sample into ranges of about
  equal size;
- ``tessarune-bucket``: one task per shard writes its records into one bucket file per range,
  each record with its key bytes, in LZ4-compressed blocks;
- ``tessarune-partition``: one task per range adds its buckets, in shard order, to a `Sorter`
  bounded by ``max_bytes`` that spills under the sort's own directory on its worker, and
  writes its part; once the client has a range's part, ``tessarune-release`` removes that
  range's buckets while other ranges are still being sorted;

then ``tessarune-publish`` renames every part into place, and ``tessarune-cleanup`` removes the
work directory, whether the sort succeeded or not, and the spill directories on every worker.

Every file a task writes carries a name unique to that attempt of the task, and each phase
reads only the files of the attempts whose results the scheduler accepted: a task run twice
(its worker lost, or wrongly thought lost while still writing) never mixes its two outputs.
"""

from __future__ import annotations

import glob
import os
import random
import shutil
import struct
import tempfile
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

from _tessarune import _add_bucket_file, _Bucketer, _bucket_file, _bucket_records, _sample_keys

from tessarune import InputError, Key, Sorter
from tessarune._keys import fold_keys
from tessarune._reading import decompressed, expand, feed_lines, python_keyer
from tessarune.files import _check_applies, _separator_byte, check_flags, native_flags
from tessarune.jsonl import without_bom

__all__ = ["sort_files"]

FORMATS = ("lines", "jsonl", "csv")
DEFAULT_MAX_BYTES = 268435456

# Below this a shard is sampled by reading it whole; above it, by seeking to random offsets,
# so that sampling a large shard reads a few blocks rather than all of it.
_READ_WHOLE_BELOW = 1 << 20
# A compressed shard cannot be read at a random offset: its sample is drawn from this much of
# its start, decompressed.
_COMPRESSED_SAMPLE = 8 << 20
_MIN_SAMPLE = 100
_MAX_SAMPLE = 4000
# A partition task's Sorter threads. With one, the task's adding waits on each spill and its
# final merge runs alone; two overlap them, which measured about a quarter faster on 2 worker
# processes of one thread on 2 cores, the extra threads filling the time the others wait.
_PARTITION_THREADS = 2
# LZ4's acceleration for the buckets. The key bytes make raw buckets about 1.3 times a shard of
# JSON Lines; at 64 LZ4 still takes them below the shard's size, at about twice the speed of
# its thorough settings (which would halve them again, at a cost that pays only on slow
# storage).
_BUCKET_ACCELERATION = 64
# Running tasks look this often whether another task failed and the sort is over.
_ABORT_POLL_SECONDS = 1.0
_BLOCK_HEADER_SIZE = 16  # a bucket block's stored and raw lengths, and its hash
_RECORD_HEADER = struct.Struct("<II")  # a record's key and payload lengths


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

    format: str
    key: Callable[[Any], Any] | None  # a Python key function, else the declarative key below
    spec: dict | None  # sort_files' keyword arguments for a declarative key
    output_dir: str
    work_dir: str  # on the shared storage, in output_dir
    spill_name: str  # the directory each worker's sorters spill under, in its tmp_dir
    tmp_dir: str | None
    abort_event: str
    acceleration: int  # LZ4's for the buckets; 0 stores them uncompressed
    decompress: bool = False  # lines of compressed shards are read decompressed
    reverse: bool = False  # a key function's order descends

    def python_plan(self) -> tuple:
        """The key plan of _bucket_records and _Bucketer for a key function."""
        return ("python", python_keyer(self.key, self.format, self.reverse))

    def decompresses(self) -> bool:
        return self.format != "lines" or self.decompress

    def csv_header(self) -> bool:
        """Whether each CSV shard starts with its header row."""
        return self.format == "csv" and (self.spec is None or self.spec.get("header", True))

    def spill_dir(self) -> str:
        return os.path.join(self.tmp_dir or tempfile.gettempdir(), self.spill_name)

    def bucket_path(self, shard: int, attempt: str, part: int) -> str:
        return os.path.join(self.work_dir, f"bucket-{shard:05d}-{attempt}-{part:05d}")


def _note_shard(error: BaseException, path: str, line_no: int | None) -> None:
    where = f"in shard {path}" if line_no is None else f"in shard {path}, line {line_no}"
    error.add_note(where)


class _AbortWatch:
    """Tells a running task, cheaply, that another task failed and its work is not wanted."""

    def __init__(self, name: str) -> None:
        self._name = name
        self._next_poll = time.monotonic() + _ABORT_POLL_SECONDS

    def poll(self) -> None:
        """Raises if the sort was given up. Cheap unless a poll is due."""
        now = time.monotonic()
        if now < self._next_poll:
            return
        self._next_poll = now + _ABORT_POLL_SECONDS
        if distributed.Event(self._name).is_set():
            raise RuntimeError("stopped because another task of the sort failed")


def _part_files(output_dir: str) -> list[str]:
    return sorted(p for p in glob.glob(os.path.join(glob.escape(output_dir), "part-*"))
                  if os.path.isfile(p))


def _prepare(job: _Job, overwrite: bool) -> None:
    os.makedirs(job.output_dir, exist_ok=True)
    found = _part_files(job.output_dir)
    if found and not overwrite:
        raise FileExistsError(
            f"{job.output_dir} already holds {len(found)} part files ({os.path.basename(found[0])}, "
            "...): pass overwrite=True to replace them, or choose another output_dir")
    os.makedirs(job.work_dir)


# Phase 1: sampling.


@dataclass(frozen=True)
class _Shard:
    """What a sample task found in a shard: its sampled keys with the bytes each stands for,
    and a CSV shard's header (its bytes and fields; None when the shard is empty)."""

    sample: list[tuple[bytes, float]]
    header: tuple[bytes, list[str]] | None = None


def _sample_lines(path: str, count: int, rng: random.Random, skip_first: bool,
                  decompress: bool) -> Iterator[tuple[bytes, float]]:
    """Up to `count` lines of the file, each with the bytes of the shard it stands for."""
    size = os.path.getsize(path)
    with open(path, "rb") as handle:
        if decompress:
            text, kind = decompressed(handle, path)
            if kind is not None:
                yield from _sample_compressed(text, handle, size, count, rng, skip_first)
                return
            handle.seek(0)
        if size < _READ_WHOLE_BELOW:
            yield from _sample_of(list(handle), True, count, rng, skip_first, 1.0)
            return
        for offset in sorted(rng.randrange(size) for _ in range(count)):
            # The line after the one holding the offset: the whole line, never a tail.
            handle.seek(offset)
            if offset or skip_first:
                handle.readline()
            line = handle.readline()
            if not offset:
                line = without_bom(line)
            if line:
                yield (line if line.endswith(b"\n") else line + b"\n"), size / count


def _sample_compressed(text, raw, size: int, count: int, rng: random.Random,
                       skip_first: bool) -> Iterator[tuple[bytes, float]]:
    """The sample of a compressed shard, from the lines of its first _COMPRESSED_SAMPLE bytes
    decompressed, each standing for its share of the shard's estimated decompressed size."""
    data = bytearray()
    chunk = bytearray(1 << 20)
    while len(data) < _COMPRESSED_SAMPLE:
        got = text.readinto(chunk)
        if not got:
            break
        data += chunk[:got]
    whole = len(data) < _COMPRESSED_SAMPLE
    lines = bytes(data).splitlines(keepends=True)
    if not whole and lines:
        del lines[-1]  # cut off where the sample ends
    # The decompressed bytes per byte of the shard, as far as the sample read it.
    scale = 1.0 if whole else size / max(1, raw.tell()) * len(data) / max(1, sum(map(len, lines)))
    yield from _sample_of(lines, whole, count, rng, skip_first, scale)


def _sample_of(lines: list[bytes], whole: bool, count: int, rng: random.Random, skip_first: bool,
               scale: float) -> Iterator[tuple[bytes, float]]:
    lines = [line if line.endswith(b"\n") else line + b"\n" for line in lines]
    if lines:
        lines[0] = without_bom(lines[0])
        if skip_first:
            del lines[0]
    if len(lines) <= count:
        yield from ((line, len(line) * scale) for line in lines)
    else:
        total = sum(map(len, lines)) * scale
        yield from ((line, total / count) for line in rng.sample(lines, count))


def _key_of(block: bytes) -> bytes:
    """The key of the one record in an uncompressed bucket block."""
    key_length, _ = _RECORD_HEADER.unpack_from(block, _BLOCK_HEADER_SIZE)
    start = _BLOCK_HEADER_SIZE + _RECORD_HEADER.size
    return block[start:start + key_length]


def _sample_shard(job: _Job, shard: int, path: str, count: int) -> _Shard:
    # A line that cannot be keyed is left out here; the bucket phase reads every line and
    # reports it with its line number.
    try:
        if job.spec is None:
            plan = job.python_plan()
            sample = []
            for line, weight in _sample_lines(path, count, random.Random(shard), False,
                                              job.decompresses()):
                _, _, error, (block,) = _bucket_records(line, plan, [], True, 0)
                if error is None and block:
                    sample.append((_key_of(block), weight))
            return _Shard(sample)
        lines = list(_sample_lines(path, count, random.Random(shard), job.csv_header(),
                                   job.decompresses()))
        row, cells, keys = _sample_keys(path, job.spec, [line for line, _ in lines])
        if job.csv_header() and row is None:
            return _Shard([])
        sample = [(key, weight) for key, (_, weight) in zip(keys, lines) if key is not None]
    except Exception as error:
        _note_shard(error, path, None)
        raise
    return _Shard(sample, None if row is None else (row, cells))


@dataclass(frozen=True)
class _Boundaries:
    """The key bytes that end each range but the last, and the size of the sample behind them."""

    keys: list[bytes]
    sample_items: int
    sample_bytes: int


def _choose_boundaries(shards: list[_Shard], partitions: int) -> _Boundaries:
    """Key bytes that cut the weighted sample into `partitions` ranges of about equal weight.

    Strictly increasing: a key that takes up several ranges' worth of the sample gives one
    boundary, so its items all land in one range, which is then larger than the others.
    """
    pooled = sorted((k, w) for s in shards for k, w in s.sample)
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


def _check_keys_found(found: list[list[tuple[str, bool]] | None]) -> None:
    """A JSON key that no record of any shard had, not even as null, is mistyped: the same
    error as the single-process sort's, before any part is written."""
    shards = [f for f in found if f is not None]
    if not shards:
        return
    missing = [name for i, (name, _) in enumerate(shards[0]) if not any(f[i][1] for f in shards)]
    if missing:
        raise ValueError(f"no record has the key{'s' if len(missing) > 1 else ''} {', '.join(missing)}")


def _bucket_shard(job: _Job, shard: int, path: str, chosen: _Boundaries,
                  header: list[str] | None) -> tuple[str, list[int], list[tuple[str, bool]] | None]:
    """Writes the shard's records into one bucket file per range, under a name of its own
    attempt; returns that attempt's name, the bytes of each bucket and, for JSON Lines keyed
    by name, whether a record of the shard had each key (None for a shard without records)."""
    attempt = uuid.uuid4().hex[:12]
    paths = [job.bucket_path(shard, attempt, p) for p in range(len(chosen.keys) + 1)]
    watch = _AbortWatch(job.abort_event)
    if job.spec is not None:
        try:
            sizes, found = _bucket_file(path, job.spec, header, chosen.keys, job.acceleration,
                                        paths, watch.poll)
            return attempt, sizes, found
        except InputError:
            raise
        except Exception as error:
            _note_shard(error, path, None)
            raise
    plan = job.python_plan()
    failures = plan[1].failures
    line_no = 0

    def add(bucketer: _Bucketer, data: memoryview, at_end: bool) -> int:
        nonlocal line_no
        consumed, lines, error = bucketer.add(data, at_end)
        if failures:
            line_no += lines + 1  # the line the Python keyer failed on
            raise failures[0]
        if error is not None:
            raise InputError(path, line_no + lines + 1, error)
        line_no += lines
        watch.poll()
        return consumed

    try:
        bucketer = _Bucketer(plan, chosen.keys, job.acceleration, paths)
        with open(path, "rb", buffering=0) as handle:
            text = decompressed(handle, path)[0] if job.decompresses() else handle
            feed_lines(text, job.format != "lines", lambda data, at_end: add(bucketer, data, at_end))
        return attempt, bucketer.finish(), None
    except InputError:
        raise
    except Exception as error:
        _note_shard(error, path, line_no if failures else None)
        raise


# Phase 3: sorting each range.


def _sort_partition(job: _Job, part: int, buckets: list[tuple[int, str, int]], max_bytes: int,
                    threads: int, header: bytes | None) -> tuple[str, int]:
    """Sorts the range's buckets, in shard order, into a part under a name of this attempt's
    own; returns its path and size. `buckets`: (shard, attempt, bytes) of this range."""
    done = os.path.join(job.work_dir, f"part-{part:05d}.{uuid.uuid4().hex[:12]}")
    watch = _AbortWatch(job.abort_event)
    spill_dir = job.spill_dir()
    os.makedirs(spill_dir, exist_ok=True)
    try:
        with Sorter(max_bytes=max_bytes, threads=threads, tmp_dir=spill_dir) as sorter:
            for shard, attempt, size in buckets:
                if size:
                    _add_bucket_file(sorter, job.bucket_path(shard, attempt, part), watch.poll)
            with open(done, "wb") as out:
                if header is not None:
                    out.write(header)
                sorter._write_lines(out, None)
    except Exception as error:
        error.add_note(f"while sorting part {part}")
        raise
    return done, os.path.getsize(done)


def _publish(job: _Job, written: list[tuple[str, int]], overwrite: bool) -> list[str]:
    """Moves the accepted parts into place; with overwrite, removes the older parts that the
    new ones did not replace."""
    old = _part_files(job.output_dir)
    if old and not overwrite:
        raise FileExistsError(f"{job.output_dir} got part files while sorting: pass overwrite=True")
    finals = [os.path.join(job.output_dir, f"part-{p:05d}") for p in range(len(written))]
    for (path, _), final in zip(written, finals):
        os.replace(path, final)
    for path in set(old) - set(finals):
        os.remove(path)
    return finals


def _remove_buckets(job: _Job, part: int, buckets: list[tuple[int, str, int]]) -> None:
    for shard, attempt, size in buckets:
        if size:
            try:
                os.remove(job.bucket_path(shard, attempt, part))
            except FileNotFoundError:
                pass


def _cleanup(work_dir: str) -> None:
    shutil.rmtree(work_dir, ignore_errors=True)


# The driver.


def _shard_paths(inputs: Iterable[str | os.PathLike[str]]) -> list[str]:
    """Absolute paths, each glob pattern's matches in name order: what every worker can open."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    paths: list[str] = []
    for entry in inputs:
        if not isinstance(entry, (str, os.PathLike)):
            raise TypeError(f"a shard is a path or a glob pattern on storage every worker reads, "
                            f"not {entry!r}")
        paths.extend(os.path.abspath(p) for p in expand(entry))
    return paths


def _each_done(client: distributed.Client, futures: list[distributed.Future],
               event: str) -> Iterator[distributed.Future]:
    """Each future as it finishes; on the first that fails, stops the others and raises its
    error.

    The caller still waits for the stopped tasks before it removes anything they may write."""
    for future in distributed.as_completed(futures):
        if future.status != "finished":
            distributed.Event(event, client=client).set()
            future.result()
            raise RuntimeError(f"task {future.key} ended as {future.status}")
        yield future


def _wait_all(client: distributed.Client, futures: list[distributed.Future], event: str) -> None:
    for _ in _each_done(client, futures, event):
        pass


def _common_header(shards: list[str], found: list[_Shard]) -> tuple[bytes, list[str]] | None:
    """The header of the first non-empty CSV shard, once every other one is checked against it."""
    first = None
    for path, shard in zip(shards, found):
        if shard.header is None:
            continue
        if first is None:
            first = shard.header
        elif shard.header[1] != first[1]:
            raise InputError(path, 1, "the header differs from the first input's")
    return first


def _make_job(format, key, spec, output_dir, tmp_dir, acceleration) -> tuple[_Job, str]:
    """The job, its key checked here before any task runs (a CSV key's columns wait for the
    header), and its token."""
    _check_applies(format, spec["field_separator"], False, spec["delimiter"], "")
    check_flags(format, header=spec["header"], decompress=spec["decompress"])
    decompress, reverse = spec["decompress"], False
    if callable(key):
        if format == "csv":
            raise ValueError("a CSV key is given by column names, not a function")
        if spec["reverse"] not in (False, True):
            raise ValueError("with a key function, reverse is one bool")
        named = [name for name, default in _SPEC_DEFAULTS.items() if spec[name] != default]
        if named:
            raise ValueError(f"{', '.join(named)} apply to a key given by name, not to a key function")
        reverse = bool(spec["reverse"])
        spec, key_function = None, key
    else:
        keys = fold_keys(key, format, reverse=spec["reverse"], nulls_last=spec["nulls_last"])
        spec = dict(format=format, **keys, numeric=spec["numeric"],
                    field_separator=_separator_byte(spec["field_separator"]),
                    delimiter=spec["delimiter"], **native_flags(spec["header"], spec["decompress"]))
        _sample_keys(os.devnull, spec, [])
        key_function = None
    token = uuid.uuid4().hex[:16]
    job = _Job(format=format, key=key_function, spec=spec, output_dir=output_dir,
               work_dir=os.path.join(output_dir, f".tessarune-{token}"),
               spill_name=f"tessarune-{token}", tmp_dir=tmp_dir,
               abort_event=f"tessarune-abort-{token}", acceleration=acceleration,
               decompress=decompress, reverse=reverse)
    return job, token


_SPEC_DEFAULTS = {"numeric": False, "nulls_last": None, "field_separator": None, "delimiter": ",",
                  "header": True}


def _run_sort(inputs, output_dir, *, key=None, format="lines", numeric=False, reverse=False,
              nulls_last=None, header=True, decompress=False, field_separator=None, delimiter=",",
              partitions=None, client=None, max_bytes=DEFAULT_MAX_BYTES,
              threads=_PARTITION_THREADS, tmp_dir=None, overwrite=False,
              acceleration=_BUCKET_ACCELERATION) -> _Report:
    spec = {"numeric": numeric, "reverse": reverse, "nulls_last": nulls_last, "header": header,
            "decompress": decompress, "field_separator": field_separator, "delimiter": delimiter}
    output_dir = os.path.abspath(os.fspath(output_dir))
    if tmp_dir is not None:
        tmp_dir = os.fspath(tmp_dir)
    job, token = _make_job(format, key, spec, output_dir, tmp_dir, acceleration)
    if client is None:
        client = distributed.get_client()
    if partitions is None:
        partitions = max(1, 2 * len(client.scheduler_info()["workers"]))
    if partitions < 1:
        raise ValueError(f"partitions must be at least 1, not {partitions}")
    shards = _shard_paths(inputs)
    report = _Report(parts=[])
    per_shard = min(_MAX_SAMPLE, max(_MIN_SAMPLE, -(-64 * partitions // max(1, len(shards)))))
    submitted: list[distributed.Future] = []

    def submit(name, fn, *args, index=None):
        name = f"tessarune-{name}-{token}"
        future = client.submit(fn, *args, key=name if index is None else (name, index), pure=False)
        submitted.append(future)
        return future

    # Nothing to clean up if the output directory is refused.
    submit("prepare", _prepare, job, overwrite).result()
    try:
        started = time.monotonic()
        samples = [submit("sample", _sample_shard, job, i, path, per_shard, index=i)
                   for i, path in enumerate(shards)]
        boundaries_future = submit("boundaries", _choose_boundaries, samples, partitions)
        _wait_all(client, samples + [boundaries_future], job.abort_event)
        chosen = boundaries_future.result()
        header = _common_header(shards, client.gather(samples)) if format == "csv" else None
        report.sample_items, report.sample_bytes = chosen.sample_items, chosen.sample_bytes
        report.phase_seconds["sample"] = time.monotonic() - started

        started = time.monotonic()
        fields = header[1] if header else None
        buckets = [submit("bucket", _bucket_shard, job, i, path, boundaries_future, fields, index=i)
                   for i, path in enumerate(shards)]
        # Waiting here, not only at the end, keeps the phases' times apart and lets the
        # scheduler see the whole shuffle done before any range starts.
        _wait_all(client, buckets, job.abort_event)
        accepted = client.gather(buckets)
        _check_keys_found([found for _, _, found in accepted])
        accepted = [(attempt, sizes) for attempt, sizes, _ in accepted]
        report.bucket_bytes = sum(sum(sizes) for _, sizes in accepted)
        report.phase_seconds["bucket"] = time.monotonic() - started

        started = time.monotonic()
        count = len(chosen.keys) + 1
        # Each range's task gets only its own column of the accepted attempts' buckets, and
        # no dependency on the bucket tasks: the graph grows with shards plus ranges, not
        # with their product.
        columns = [[(s, attempt, sizes[p]) for s, (attempt, sizes) in enumerate(accepted)]
                   for p in range(count)]
        sorted_parts = {submit("partition", _sort_partition, job, p, columns[p], max_bytes, threads,
                               header[0] if header and p == 0 else None, index=p): p
                        for p in range(count)}
        written: list[tuple[str, int]] = [("", 0)] * count
        for future in _each_done(client, list(sorted_parts), job.abort_event):
            part = sorted_parts.pop(future)
            written[part] = future.result()
            # With its part in hand, the range's task is let go (a lost worker that held its
            # result does not make Dask run it again), and its buckets go now, on a worker that
            # the other ranges leave idle, rather than all of them in the cleanup at the end.
            submitted.remove(future)
            del future
            submit("release", _remove_buckets, job, part, columns[part], index=part)
        report.output_bytes = sum(size for _, size in written)
        report.parts = submit("publish", _publish, job, written, overwrite).result()
        report.phase_seconds["partition"] = time.monotonic() - started
    finally:
        _finish(client, submitted, job, token)
    report.input_bytes = sum(os.path.getsize(p) for p in shards if os.path.exists(p))
    return report


def _finish(client: distributed.Client, submitted: list[distributed.Future], job: _Job,
            token: str) -> None:
    """Removes the work directory and every worker's spill directory once no task can still
    write them."""
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
            # Every worker, also one that took over from a lost one: a killed task leaves its
            # spill files behind.
            client.run(_remove_spill_dir, job)
        except Exception:
            pass
        try:
            distributed.Event(job.abort_event, client=client).clear()
        except Exception:
            pass


def _remove_spill_dir(job: _Job) -> None:
    shutil.rmtree(job.spill_dir(), ignore_errors=True)


def sort_files(
    inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    output_dir: str | os.PathLike[str],
    *,
    key: Callable[[Any], Any] | str | Key | list[str | Key] | None = None,
    format: str = "lines",
    numeric: bool = False,
    reverse: bool | list[bool] = False,
    nulls_last: bool | None | list[bool | None] = None,
    header: bool = True,
    decompress: bool = False,
    field_separator: str | None = None,
    delimiter: str = ",",
    partitions: int | None = None,
    client: distributed.Client | None = None,
    max_bytes: int = DEFAULT_MAX_BYTES,
    threads: int = _PARTITION_THREADS,
    tmp_dir: str | os.PathLike[str] | None = None,
    overwrite: bool = False,
    bucket_acceleration: int = _BUCKET_ACCELERATION,
) -> list[str]:
    """Sort the records of every input shard across a Dask cluster into ordered part files.

    Each worker task sorts out of core with a `Sorter`, so no partition needs to fit in a
    worker's memory. Inputs and `output_dir` must be on storage that every worker can read and
    write (a shared file system; any local path on a `LocalCluster`).

    Args:
        inputs: Paths or glob patterns of the shards (a pattern's matches in name order).
        output_dir: Where the parts go, made if missing. Buckets and unfinished parts are kept
            under a hidden work directory in it and removed at the end, also on failure.
        key: As in `tessarune.sort_files` (``-k`` fields for lines; for JSON Lines and CSV
            keys such as ``"user.id,ts:timestamp"`` and `tessarune.Key` objects, a str or a
            list), keyed natively; or a function of one item (a line's bytes without its
            newline, or a JSON line's value) returning its sort key, sent to the workers by
            Dask; or None: the whole line, the whole JSON value, or every CSV column.
        format: "lines", "jsonl" (lines of only whitespace skipped) or "csv" (each shard
            starts with the same header row; part-00000 starts with it).
        numeric, reverse, nulls_last, header, decompress, field_separator, delimiter: As in
            `tessarune.sort_files`; with a key function only `reverse` (one bool) and
            `decompress` apply. A compressed shard is sampled from the start of its
            decompressed text (it cannot be read at random offsets), then read whole natively.
        partitions: How many ranges to cut the keys into, at most; twice the number of
            workers if None. A key that fills more than one range keeps all its items in one
            part, so there may be fewer parts.
        client: The Dask client; the current one if None.
        max_bytes, threads: The `Sorter` arguments of each partition's task, which holds at
            most about `max_bytes` of items in memory. Two threads by default, also on a
            worker of one thread: its sorting and spilling then keep pace with its adding.
        tmp_dir: Where each worker's sorters spill, best a worker-local disk; the system's
            temporary directory if None. The sort's spills go in a directory of its own there,
            removed on every worker at the end.
        overwrite: Replace the parts of an earlier sort in `output_dir`; without it, an
            `output_dir` that holds ``part-*`` files is refused.
        bucket_acceleration: LZ4's acceleration for the buckets between the phases: 64 keeps
            them about the input's size at little cost, 6 about halves that again (worth it
            on slow shared storage), 0 stores them uncompressed.

    Returns:
        The paths of the parts, ``output_dir/part-00000`` onwards. Concatenated, they hold
        every input record once (with a newline added to a last line that lacks one), in key
        order; equal keys keep the order of their shards in `inputs`, then of their lines.

    Raises:
        FileExistsError: `output_dir` holds parts and `overwrite` is false.
        The first error of any task, naming the shard and line, or the part, where it
        happened. No part is put in place unless every part was written.
    """
    return _run_sort(inputs, output_dir, key=key, format=format, numeric=numeric,
                     reverse=reverse, nulls_last=nulls_last, header=header, decompress=decompress,
                     field_separator=field_separator, delimiter=delimiter,
                     partitions=partitions, client=client, max_bytes=max_bytes, threads=threads,
                     tmp_dir=tmp_dir, overwrite=overwrite, acceleration=bucket_acceleration).parts
