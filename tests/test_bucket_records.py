"""_bucket_records and Sorter._add_framed, the two halves of the cluster sort's shuffle, in one
process: cut into ranges and added back, records sort as the single-process path sorts them."""

import errno
import io
import json
import os
import random
import struct
import subprocess
import sys

import pytest

import tessarune
from _tessarune import _Bucketer, _bucket_file, _bucket_records
from reference_formats import JsonKey

HEADER = struct.Struct("<IIQ")
RECORD = struct.Struct("<II")


def records_of(blocks):
    """(key, record) of every record in uncompressed bucket blocks."""
    out, at = [], 0
    while at < len(blocks):
        stored, raw, _ = HEADER.unpack_from(blocks, at)
        assert stored == raw, "asked to store as it is"
        end, at = at + HEADER.size + raw, at + HEADER.size
        while at < end:
            k, p = RECORD.unpack_from(blocks, at)
            at += RECORD.size
            out.append((blocks[at:at + k], blocks[at + k:at + k + p]))
            at += k + p
    return out


def bucket(data, plan, boundaries, acceleration, step):
    """Feeds the data in pieces of `step` bytes, as a shard is read; the blocks of each range."""
    ranges = [b""] * (len(boundaries) + 1)
    pending = b""
    for start in range(0, len(data) + 1, step):
        pending += data[start:start + step]
        at_end = start + step >= len(data)
        consumed, _, error, blocks = _bucket_records(pending, plan, boundaries, at_end, acceleration)
        assert error is None
        ranges = [r + b for r, b in zip(ranges, blocks)]
        pending = pending[consumed:]
        if at_end:
            break
    assert pending == b""
    return ranges


def json_fallback(line):
    """A JSON line the native reading declines, keyed as Python keys it."""
    return tessarune.key_bytes(JsonKey(["u.id", "t"])(json.loads(line)))


@pytest.mark.parametrize("reverse", [False, True])
def test_ranges_hold_their_keys_and_add_back_to_the_single_process_order(reverse):
    rng = random.Random(7)
    lines = [json.dumps({"u": {"id": rng.randrange(50)}, "t": rng.choice([1, "a", None]), "n": n})
             if n % 97 else "  " for n in range(3000)]
    data = ("\n".join(lines) + "\n").encode()
    plan = ("jsonl", [["u", "id"], ["t"]], reverse, json_fallback)
    keys = sorted({k for k, _ in records_of(bucket(data, plan, [], 0, 1 << 20)[0])})
    boundaries = [keys[len(keys) // 4], keys[len(keys) // 2], keys[len(keys) // 2 + 1]]

    ranges = bucket(data, plan, boundaries, 0, 1000)
    for i, blocks in enumerate(ranges):
        for key, _ in records_of(blocks):
            assert (i == 0 or boundaries[i - 1] < key) and (i == 3 or key <= boundaries[i])
    assert sum(len(records_of(r)) for r in ranges) == 3000 - len(range(0, 3000, 97))

    expected = io.BytesIO()
    with tessarune.Sorter() as single:
        single._add_keyed(data, plan, True)
        single._write_lines(expected, None)
    for acceleration in (0, 1, 64):
        got = io.BytesIO()
        with tessarune.Sorter(max_bytes=32 << 10) as sorter:
            for blocks in bucket(data, plan, boundaries, acceleration, 777):
                assert sorter._add_framed(blocks) == len(blocks)
            sorter._write_lines(got, None)
        assert got.getvalue() == expected.getvalue()


def test_python_keyer_skips_none_and_stops_at_a_refusal():
    answers = {b"a": b"1", b"skip": None, b"b": b"0", b"bad": "no key here"}
    data = b"a\nskip\nb\nbad\nc\n"
    consumed, lines, error, (blocks,) = _bucket_records(data, ("python", answers.get), [], True, 0)
    assert (data[:consumed], lines, error) == (b"a\nskip\nb\n", 3, "no key here")
    assert records_of(blocks) == [(b"1", b"a\n"), (b"0", b"b\n")]


def test_a_damaged_bucket_is_refused():
    plan = ("lines", [(1, 1, None, 0, 0)], None, False, False)
    _, _, _, (blocks,) = _bucket_records(b"x\n" * 1000, plan, [], True, 1)
    damaged = bytearray(blocks)
    damaged[-3] ^= 1
    with tessarune.Sorter() as sorter:
        with pytest.raises(ValueError, match="damaged"):
            sorter._add_framed(damaged)
        assert sorter._add_framed(blocks[:-1]) == 0, "a block cut short waits for more"


def test_bucketer_files_hold_what_bucket_records_returns(tmp_path):
    lines = [f"{n % 13:02d} {n}" for n in range(20000)]
    data = ("\n".join(lines) + "\n").encode()
    plan = ("lines", [(1, 1, 1, 0, 0)], None, False, False)
    keys = sorted({k for k, _ in records_of(bucket(data, plan, [], 0, 1 << 20)[0])})
    boundaries = [b"", keys[5], keys[-1]]  # ranges 0 and 3 get nothing
    expected = bucket(data, plan, boundaries, 0, 1 << 20)
    paths = [str(tmp_path / f"range-{i}") for i in range(4)]
    bucketer = _Bucketer(plan, boundaries, 0, paths)
    pending = b""
    for start in range(0, len(data), 5000):
        pending += data[start:start + 5000]
        consumed, _, error = bucketer.add(pending, start + 5000 >= len(data))
        assert error is None
        pending = pending[consumed:]
    assert pending == b""
    sizes = bucketer.finish()
    assert [os.path.exists(p) for p in paths] == [False, True, True, False], "no file for an empty range"
    for path, size, blocks in zip(paths, sizes, expected):
        held = open(path, "rb").read() if size else b""
        assert len(held) == size
        assert records_of(held) == records_of(blocks)
    with pytest.raises(ValueError, match="finished"):
        bucketer.add(b"", True)


def test_bucket_file_stops_at_bad_records_and_at_its_poll(tmp_path):
    shard = tmp_path / "shard.jsonl"
    shard.write_bytes(b'{"k": 1}\n\n{"k": 2\n{"k": 3}\n')
    with pytest.raises(tessarune.InputError) as info:
        _bucket_file(shard, {"format": "jsonl", "key": ["k"]}, None, [], 0, [tmp_path / "b0"], None)
    assert str(info.value).startswith(f"{shard}:3: ")

    table = tmp_path / "shard.csv"
    table.write_bytes(b"a,b\n1,2\n")
    with pytest.raises(tessarune.InputError, match="header differs"):
        _bucket_file(table, {"format": "csv", "key": ["a"]}, ["a", "c"], [], 0, [tmp_path / "b1"], None)

    big = tmp_path / "big"
    big.write_bytes(b"".join(b"%08d\n" % n for n in range(1_000_000)))
    polls = []

    def poll():
        polls.append(1)
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        _bucket_file(big, {"format": "lines"}, None, [], 0, [tmp_path / "b2"], poll)
    assert len(polls) == 1, "the poll's exception ends the reading"


def test_a_bucket_write_failure_is_an_os_error_naming_the_bucket(tmp_path):
    shard, target = tmp_path / "shard", tmp_path / "bucket"
    shard.write_bytes(b"".join(b"%08d\n" % n for n in range(200_000)))
    # Past the file size limit a write fails with EFBIG, as a full disk fails with ENOSPC.
    script = f"""
import resource, signal
from _tessarune import _bucket_file
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))
try:
    _bucket_file({str(shard)!r}, {{"format": "lines"}}, None, [], 0, [{str(target)!r}], None)
except OSError as e:
    print(e.errno, e.filename)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [str(errno.EFBIG), str(target)]
