"""Sorting far more than max_bytes: order against sorted(), the spill directory's life, and
run files damaged behind the sorter's back."""

import errno
import gc
import math
import os
import random

import pytest

from tessarune import Sorter

from spill_files import (blocks, first_record_in_block, first_run, patch_header, run_files,
                         settle_spills, spill_dirs, truncate_at_block, wait_for_file)

STOPPED = "the sorter stopped when reading it failed or was interrupted"


def mixed_items(rng, n):
    """Ints (some huge), floats, strs and tuples, drawn from a pool so that many repeat, and
    numbers that compare equal across kinds (3 and 3.0)."""
    pool = []
    for _ in range(n // 4):
        kind = rng.randrange(6)
        if kind == 0:
            pool.append(rng.randrange(-1000, 1000))
        elif kind == 1:
            pool.append(rng.randrange(-(1 << 100), 1 << 100))
        elif kind == 2:
            pool.append(rng.choice([float(rng.randrange(-1000, 1000)), rng.uniform(-1e6, 1e6),
                                    rng.choice([math.inf, -math.inf, 0.0, -0.0, 5e-324])]))
        elif kind == 3:
            pool.append("".join(rng.choice("aAz\u00e9\u4e2d\U0001f600\x00") for _ in range(rng.randrange(8))))
        elif kind == 4:
            pool.append((rng.choice(["", "k", "kk"]), rng.randrange(5)))
        else:
            pool.append((rng.choice(["", "k"]), rng.randrange(5), rng.random()))
    return [rng.choice(pool) for _ in range(n)]


def reference_key(item):
    """The sorter's order across kinds (numbers, then str, then tuple), for sorted()."""
    if isinstance(item, (int, float)):
        return (0, item)
    if isinstance(item, str):
        return (1, item)
    return (2, item)


class TestMixedItems:
    @pytest.mark.parametrize("threads", [1, 2])
    @pytest.mark.parametrize("max_open", [2, 64])
    def test_sort_is_sorted_and_stable(self, tmp_path, threads, max_open):
        seed = random.randrange(1 << 32)
        rng = random.Random(seed)
        items = mixed_items(rng, 200_000)
        # The pair keeps equal items apart, so the order among them shows.
        tagged = [(item, i) for i, item in enumerate(items)]
        s = Sorter(key=lambda t: t[0], max_bytes=1 << 20, max_open=max_open, threads=threads,
                   tmp_dir=tmp_path)
        it = s.sort(tagged)
        assert len(s) == len(tagged)
        assert spill_dirs(tmp_path), "the data must have been spilled"
        got = list(it)
        expected = sorted(tagged, key=lambda t: reference_key(t[0]))
        assert got == expected, f"seed {seed}"
        assert spill_dirs(tmp_path) == []

    def test_items_that_are_their_own_keys(self, tmp_path):
        seed = random.randrange(1 << 32)
        rng = random.Random(seed)
        numbers = [rng.choice([rng.randrange(-50, 50), float(rng.randrange(-50, 50)),
                               rng.randrange(-(1 << 80), 1 << 80), rng.uniform(-100, 100)])
                   for _ in range(150_000)]
        s = Sorter(max_bytes=512 << 10, max_open=4, tmp_dir=tmp_path)
        got = list(s.sort(numbers))
        expected = sorted(numbers)
        # Equal numbers of different kinds (3 and 3.0) must also keep their adding order.
        assert [(type(x), x) for x in got] == [(type(x), x) for x in expected], f"seed {seed}"


class TestSpillDirectory:
    def fill(self, tmp_path, n=100_000):
        s = Sorter(max_bytes=256 << 10, tmp_dir=tmp_path)
        for i in range(n):
            s.add(i)
        assert spill_dirs(tmp_path)
        return s

    def test_gone_after_the_last_item(self, tmp_path):
        s = self.fill(tmp_path)
        it = s.sort()
        assert next(it) == 0
        assert spill_dirs(tmp_path)
        assert list(it) == list(range(1, 100_000))
        assert spill_dirs(tmp_path) == []

    def test_gone_after_close(self, tmp_path):
        s = self.fill(tmp_path)
        s.close()
        assert spill_dirs(tmp_path) == []

    def test_gone_after_close_mid_read(self, tmp_path):
        s = self.fill(tmp_path)
        it = s.encoded()
        next(it)
        s.close()
        assert spill_dirs(tmp_path) == []

    def test_gone_when_the_iterator_and_sorter_are_dropped_mid_read(self, tmp_path):
        s = self.fill(tmp_path)
        it = s.sort()
        next(it)
        del it
        gc.collect()
        assert spill_dirs(tmp_path)
        del s
        gc.collect()
        assert spill_dirs(tmp_path) == []

    def test_gone_when_an_unread_sorter_is_dropped(self, tmp_path):
        s = self.fill(tmp_path)
        del s
        gc.collect()
        assert spill_dirs(tmp_path) == []


class TestDamagedRuns:
    """Run files changed behind the sorter's back: the read fails with the run's path, the
    sorter stops, and what was spilled goes."""

    RECORDS = 40_000

    def spilled(self, tmp_path, payload_size=40):
        """A sorter whose first run holds exactly records 0 .. RECORDS-1 (fixed-size keys and
        payloads), and whose other records sort after them."""
        max_bytes = 8 << 20
        s = Sorter(max_bytes=max_bytes, tmp_dir=tmp_path)
        for i in range(self.RECORDS):
            s.add_encoded(i, i.to_bytes(4, "big") * (payload_size // 4))
        settle_spills(s, max_bytes, key="after")
        run = first_run(tmp_path)
        assert os.path.basename(run) == "run-000000"
        assert len(blocks(run)) >= 4
        return s, run

    def expect_stopped(self, s, it, tmp_path):
        assert spill_dirs(tmp_path) == []
        with pytest.raises(StopIteration):
            next(it)
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            s.sort()
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            s.add(1)

    def read_until_failure(self, it):
        count = 0
        with pytest.raises(OSError) as raised:
            for _ in it:
                count += 1
        return count, raised.value

    def test_truncated(self, tmp_path):
        s, run = self.spilled(tmp_path)
        it = s.encoded()
        lost = first_record_in_block(run, self.RECORDS, 3)
        truncate_at_block(run, 3)
        count, error = self.read_until_failure(it)
        assert type(error).__mro__[1] is OSError
        assert str(error) == f"{run} ended before its last record"
        assert (error.errno, error.filename) == (None, run)
        # Items come in batches of 4096: the batch that needed the lost block never came out.
        assert count == lost // 4096 * 4096
        self.expect_stopped(s, it, tmp_path)

    def test_impossible_block_length(self, tmp_path):
        s, run = self.spilled(tmp_path)
        it = s.encoded()
        patch_header(run, 2, c=0)
        count, error = self.read_until_failure(it)
        assert type(error).__mro__[1] is OSError
        assert str(error) == f"{run} is corrupt: a block has an impossible length"
        assert error.filename == run
        self.expect_stopped(s, it, tmp_path)

    def test_block_that_does_not_decompress_to_its_length(self, tmp_path):
        s, run = self.spilled(tmp_path)
        it = s.encoded()
        # Block 1's header was read with block 0 when the read started; block 2's was not.
        offset, c, r = blocks(run)[2]
        assert r == 131072
        patch_header(run, 2, r=r - 1)
        count, error = self.read_until_failure(it)
        assert str(error) == f"{run} is corrupt: a block does not decompress to its length"
        self.expect_stopped(s, it, tmp_path)

    def test_changed_bytes_fail_the_blocks_checksum(self, tmp_path):
        s, run = self.spilled(tmp_path)
        it = s.encoded()
        offset, c, r = blocks(run)[2]
        lost = first_record_in_block(run, self.RECORDS, 2)
        with open(run, "r+b") as f:
            f.seek(offset + 8)  # the stored hash: the block itself still decompresses
            byte = f.read(1)
            f.seek(offset + 8)
            f.write(bytes([byte[0] ^ 1]))
        count, error = self.read_until_failure(it)
        assert str(error) == f"{run} is corrupt: a block's checksum does not match"
        assert error.filename == run
        assert count <= lost
        self.expect_stopped(s, it, tmp_path)

    def test_damaged_before_the_read_fails_the_start(self, tmp_path):
        s, run = self.spilled(tmp_path)
        patch_header(run, 0, r=0)
        with pytest.raises(OSError) as raised:
            s.sort()
        assert str(raised.value) == f"{run} is corrupt: a block has an impossible length"
        assert spill_dirs(tmp_path) == []
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            s.sort()

    def test_deleted(self, tmp_path):
        s = Sorter(max_bytes=256 << 10, tmp_dir=tmp_path)
        i = 0
        while not run_files(tmp_path):
            s.add(i)
            i += 1
        run = wait_for_file(os.path.join(str(tmp_path), "tessarune-*", "run-000000"))[0]
        os.unlink(run)
        with pytest.raises(FileNotFoundError) as raised:
            s.sort()
        assert str(raised.value) == f"{run}: No such file or directory (os error 2)"
        assert (raised.value.errno, raised.value.strerror) == (errno.ENOENT, os.strerror(errno.ENOENT))
        assert raised.value.filename == run
        assert spill_dirs(tmp_path) == []
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            s.encoded()
