"""Payloads that are their bytes key's own bytes are stored once: the output stays the same,
and the spilled data shrinks."""

import io
import os
import random

import pytest

from tessarune import Sorter

from spill_files import run_files


class BytesSubclass(bytes):
    pass


def records(rng, n):
    """(key, payload) pairs: the payload is the key itself, an equal copy, an equal bytes
    object of a subclass, or something else; some keys hold zero bytes. Keys repeat often, so
    that the order among equal keys shows."""
    pool = [bytes(rng.choice(b"ab\x00") for _ in range(rng.randrange(6))) for _ in range(40)]
    pool.append(b"z" * 200_000)  # a record across run blocks
    out = []
    for i in range(n):
        key = rng.choice(pool)
        kind = rng.randrange(4)
        if kind == 0:
            out.append((key, key))
        elif kind == 1:
            out.append((BytesSubclass(key), bytes(key)))
        elif kind == 2:
            out.append((key, b"other %d" % i))
        else:
            out.append((key, key + b""))
    return out


@pytest.mark.parametrize("threads,max_open", [(1, 2), (2, 64)])
@pytest.mark.parametrize("read", ["encoded", "write_to"])
def test_output_is_the_stable_sort_whatever_is_stored_once(tmp_path, threads, max_open, read):
    seed = random.randrange(1 << 32)
    pairs = records(random.Random(seed), 20_000)
    expected = [payload for _, payload in sorted(pairs, key=lambda p: bytes(p[0]))]
    with Sorter(max_bytes=1 << 16, max_open=max_open, threads=threads, tmp_dir=tmp_path) as s:
        for key, payload in pairs:
            s.add_encoded(key, payload)
        assert len(run_files(tmp_path)) > 2
        if read == "encoded":
            got = list(s.encoded())
        else:
            out = io.BytesIO()
            s.write_to(out)
            got = out.getvalue()
            expected = b"".join(expected)
    assert got == expected, f"seed {seed}"


class Identity:
    def encode(self, item):
        return item

    def decode(self, data):
        return data


LINES = [b"line %07d %s\n" % (i * 7919 % 50_000, b"of some text " * 7) for i in range(50_000)]


def runs_spilled(tmp_path, add, payload_of):
    tmp_path.mkdir()
    with Sorter(max_bytes=1 << 20, codec=Identity(), tmp_dir=tmp_path) as s:
        for line in LINES:
            add(s, line)
        runs = len(run_files(tmp_path))
        assert list(s.sort()) == [payload_of(line) for line in sorted(LINES)]
    return runs


def test_a_line_as_its_own_key_and_payload_is_spilled_once(tmp_path):
    twice = runs_spilled(tmp_path / "a", lambda s, line: s.add_encoded(line, line.upper()), bytes.upper)
    by_codec = runs_spilled(tmp_path / "b", lambda s, line: s.add(line), bytes)
    by_add_encoded = runs_spilled(tmp_path / "c", lambda s, line: s.add_encoded(line, line), bytes)
    assert twice >= 8
    assert by_codec < 0.7 * twice
    assert by_add_encoded < 0.7 * twice
