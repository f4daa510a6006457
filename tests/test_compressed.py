"""Compressed inputs and outputs of the tessarune command, against the same records plain: what
Python's gzip, bz2, lzma and compression.zstd make is read as the text inside it, an output
named .gz or .zst reads back with them, and lines stay bytes unless --decompress."""

import bz2
import gzip
import json
import lzma
import random
from compression import zstd

import pytest

from command import needs_sort, run, run_sort

COMPRESSORS = {"gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress, "zst": zstd.compress}


def records(n, seed):
    rnd = random.Random(seed)
    return b"".join(json.dumps({"id": rnd.randrange(1000), "note": "x" * rnd.randrange(40)}).encode() + b"\n"
                    for _ in range(n))


@pytest.fixture(scope="module")
def plain_sorted(tmp_path_factory):
    """The records, and the command's output for them plain."""
    data = records(30000, 1)
    got = run(["--jsonl", "-k", "id:number"], data)
    assert got.returncode == 0, got.stderr
    return data, got.stdout


@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
def test_compressed_records_read_as_their_text(suffix, plain_sorted, tmp_path):
    data, want = plain_sorted
    path = tmp_path / f"in.jsonl.{suffix}"
    # Two members, frames or streams one after the other are one text.
    half = data.index(b"\n", len(data) // 2) + 1
    path.write_bytes(COMPRESSORS[suffix](data[:half]) + COMPRESSORS[suffix](data[half:]))
    got = run(["--jsonl", "-k", "id:number", str(path)])
    assert got.returncode == 0, got.stderr
    assert got.stdout == want
    piped = run(["--jsonl", "-k", "id:number"], path.read_bytes())
    assert piped.stdout == want, piped.stderr


def test_outputs_named_gz_or_zst_are_compressed(plain_sorted, tmp_path):
    data, want = plain_sorted
    (tmp_path / "in.jsonl").write_bytes(data)
    for name, decompress in (("out.jsonl.gz", gzip.decompress), ("out.jsonl.zst", zstd.decompress)):
        got = run(["--jsonl", "-k", "id:number", "-o", str(tmp_path / name), str(tmp_path / "in.jsonl")])
        assert got.returncode == 0, got.stderr
        assert decompress((tmp_path / name).read_bytes()) == want
    # -m writes through the same target.
    got = run(["-m", "--jsonl", "-k", "id:number", "-o", str(tmp_path / "merged.jsonl.gz"), str(tmp_path / "out.jsonl.gz")])
    assert got.returncode == 0, got.stderr
    assert gzip.decompress((tmp_path / "merged.jsonl.gz").read_bytes()) == want


@needs_sort
def test_lines_are_bytes_unless_decompress(tmp_path):
    text = b"".join(b"%05d line\n" % n for n in random.Random(2).sample(range(99999), 5000))
    packed = gzip.compress(text)
    (tmp_path / "in.gz").write_bytes(packed)
    raw = run([str(tmp_path / "in.gz")])
    assert raw.returncode == 0, raw.stderr
    assert raw.stdout == run_sort([str(tmp_path / "in.gz")]).stdout
    decompressed = run(["--decompress", "-o", str(tmp_path / "out.gz"), str(tmp_path / "in.gz")])
    assert decompressed.returncode == 0, decompressed.stderr
    assert gzip.decompress((tmp_path / "out.gz").read_bytes()) == b"".join(sorted(text.splitlines(keepends=True)))
    # Without --decompress, an output named .gz gets the lines as they are, as sort writes them.
    run(["-o", str(tmp_path / "out.gz"), str(tmp_path / "in.gz")])
    assert (tmp_path / "out.gz").read_bytes() == raw.stdout


@pytest.mark.parametrize("suffix, fault", [("gz", "truncated gzip input"), ("xz", "truncated xz input"),
                                           ("zst", "damaged zstd input: ")])
def test_damaged_input_is_an_error_naming_the_file(suffix, fault, plain_sorted, tmp_path):
    data, _ = plain_sorted
    packed = COMPRESSORS[suffix](data)
    path = tmp_path / f"in.jsonl.{suffix}"
    # Cut in the middle; for zstd, a frame with more bytes after its end instead.
    path.write_bytes(packed + b"\x00" * 8 if suffix == "zst" else packed[: len(packed) // 2])
    (tmp_path / "out").write_bytes(b"old\n")
    got = run(["--jsonl", "-k", "id:number", "-o", str(tmp_path / "out"), str(path)])
    assert got.returncode == 2
    assert f"{path}: {fault}".encode() in got.stderr
    assert (tmp_path / "out").read_bytes() == b"old\n"
