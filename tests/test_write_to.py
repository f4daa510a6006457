"""write_to(): chunking, what the handle's write answers, failures, and threads."""

import glob
import io
import os
import random
import threading
import time

import pytest

from tessarune import Sorter

from spill_files import first_run, settle_spills, spill_dirs, truncate_at_block

READ_ONCE = "a sorter can be read only once"


class Recorder:
    """A handle that keeps each write's bytes, and answers what `answer` says."""

    def __init__(self, answer=len, limit=None):
        self.writes = []
        self.answer = answer
        self.limit = limit

    def write(self, data):
        assert type(data) is bytes
        if self.limit is not None:
            data = data[: self.limit]
        self.writes.append(data)
        return self.answer(data)

    def output(self):
        return b"".join(self.writes)


def merge_threads():
    names = []
    for path in glob.glob("/proc/self/task/*/comm"):
        try:
            with open(path) as f:
                names.append(f.read().strip())
        except (FileNotFoundError, ProcessLookupError):
            pass  # the thread ended between the listing and the read (ESRCH from the read)
    return names.count("tessarune-merge")


def sorter_with(payloads, **kwargs):
    s = Sorter(**kwargs)
    for i, p in enumerate(payloads):
        s.add_encoded(i, p)
    return s


class TestChunks:
    def test_chunks_close_at_1_mib_by_their_last_payload(self):
        payloads = [bytes([i % 256]) * 1000 for i in range(3000)]
        handle = Recorder()
        assert sorter_with(payloads).write_to(handle) is None
        assert [len(w) for w in handle.writes] == [1_049_000, 1_049_000, 902_000]
        assert handle.output() == b"".join(payloads)

    def test_an_empty_sorter_never_calls_write(self):
        handle = Recorder()
        assert Sorter().write_to(handle) is None
        assert handle.writes == []

    def test_a_large_payload_is_one_chunk(self):
        big = random.randbytes(5 << 20)
        handle = Recorder()
        sorter_with([b"a", big, b"b"]).write_to(handle)
        assert [len(w) for w in handle.writes] == [1 + len(big), 1]
        assert handle.output() == b"a" + big + b"b"

    def test_output_is_what_encoded_yields(self, tmp_path):
        seed = random.randrange(1 << 32)
        rng = random.Random(seed)
        items = [(rng.randrange(100), rng.random()) for _ in range(50_000)]
        a = Sorter(max_bytes=128 << 10, tmp_dir=tmp_path, max_open=4)
        b = Sorter(max_bytes=128 << 10, tmp_dir=tmp_path, max_open=4)
        for item in items:
            a.add(item)
            b.add(item)
        handle = io.BytesIO()
        a.write_to(handle)
        assert handle.getvalue() == b"".join(b.encoded()), f"seed {seed}"
        assert spill_dirs(tmp_path) == []


class TestWriteAnswers:
    def test_partial_writes_are_continued(self):
        payloads = [random.randbytes(700) for _ in range(4000)]
        handle = Recorder(limit=4096)
        sorter_with(payloads).write_to(handle)
        assert handle.output() == b"".join(payloads)
        # Each chunk (1498 payloads = 1,048,600 bytes, the last 1004) is written in pieces
        # of at most 4096 bytes, each piece starting where the previous write stopped.
        expected = []
        for chunk in (1_048_600, 1_048_600, 702_800):
            expected += [4096] * (chunk // 4096) + [chunk % 4096]
        assert [len(w) for w in handle.writes] == expected

    @pytest.mark.parametrize("answer", [None, "many", 10**30], ids=repr)
    def test_an_answer_that_is_no_count_counts_as_all_written(self, answer):
        payloads = [bytes([i % 256]) * 1000 for i in range(3000)]
        handle = Recorder(answer=lambda data: answer)
        sorter_with(payloads).write_to(handle)
        assert [len(w) for w in handle.writes] == [1_049_000, 1_049_000, 902_000]

    def test_a_count_through_index(self):
        class Count:
            def __init__(self, n):
                self.n = n

            def __index__(self):
                return self.n

        handle = Recorder(answer=lambda data: Count(min(len(data), 1000)), limit=1000)
        payloads = [random.randbytes(300) for _ in range(100)]
        sorter_with(payloads).write_to(handle)
        assert handle.output() == b"".join(payloads)
        assert len(handle.writes) == 30

    def test_writing_nothing_is_an_error(self, tmp_path):
        s = Sorter(max_bytes=64 << 10, tmp_dir=tmp_path)
        for i in range(30_000):
            s.add(i)
        assert spill_dirs(tmp_path)
        handle = Recorder(answer=lambda data: 0)
        with pytest.raises(OSError) as raised:
            s.write_to(handle)
        assert type(raised.value) is OSError
        assert str(raised.value) == "the handle wrote no bytes"
        assert raised.value.errno is None
        assert len(handle.writes) == 1
        assert spill_dirs(tmp_path) == []
        assert merge_threads() == 0
        with pytest.raises(RuntimeError, match=f"^{READ_ONCE}$"):
            s.sort()
        with pytest.raises(RuntimeError, match="^cannot add to a sorter once it has been read$"):
            s.add(1)

    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    @pytest.mark.parametrize("answer, error, text", [
        (-1, OSError, "the handle wrote a negative number of bytes"),
        (-(10**30), OSError, "the handle wrote a negative number of bytes"),
        (Interrupting(), KeyboardInterrupt, ""),
    ], ids=["-1", "-10**30", "__index__ raises"])
    def test_an_answer_that_fails_as_a_count_is_an_error(self, tmp_path, answer, error, text):
        s = Sorter(max_bytes=64 << 10, tmp_dir=tmp_path)
        for i in range(30_000):
            s.add(i)
        with pytest.raises(error) as raised:
            s.write_to(Recorder(answer=lambda data: answer))
        assert type(raised.value) is error and str(raised.value) == text
        assert spill_dirs(tmp_path) == []
        assert merge_threads() == 0

    def test_the_exception_of_write_passes_through(self, tmp_path):
        class Full(Exception):
            pass

        error = Full("disk full")

        def write(data):
            raise error

        handle = type("Handle", (), {"write": staticmethod(write)})()
        s = Sorter(max_bytes=64 << 10, tmp_dir=tmp_path)
        for i in range(30_000):
            s.add(i)
        with pytest.raises(Full) as raised:
            s.write_to(handle)
        assert raised.value is error
        assert spill_dirs(tmp_path) == []
        with pytest.raises(RuntimeError, match=f"^{READ_ONCE}$"):
            s.encoded()


class TestNonBlocking:
    def test_a_non_blocking_pipe_gets_every_byte(self):
        payloads = [random.randbytes(1000) for _ in range(4000)]
        r, w = os.pipe()
        os.set_blocking(w, False)
        received = []

        def drain():
            with open(r, "rb", buffering=0) as pipe:
                while data := pipe.read(1 << 16):
                    received.append(data)
                    time.sleep(0.001)  # slower than the writer: the pipe fills up

        reader = threading.Thread(target=drain)
        reader.start()
        try:
            with open(w, "wb", buffering=0) as pipe:
                sorter_with(payloads).write_to(pipe)
        finally:
            reader.join()
        assert b"".join(received) == b"".join(payloads)

    def test_a_raw_stream_that_would_block_and_cannot_be_waited_for(self):
        class Stuck(io.RawIOBase):
            def writable(self):
                return True

            def write(self, data):
                return None

        s = sorter_with([b"x" * 100])
        with pytest.raises(BlockingIOError, match="no file descriptor to wait on"):
            s.write_to(Stuck())


class TestRefusals:
    def test_a_handle_without_write_leaves_the_sorter_readable(self):
        s = Sorter()
        s.add(2)
        s.add(1)
        with pytest.raises(AttributeError):
            s.write_to(object())
        assert list(s.sort()) == [1, 2]

    def test_binding(self):
        s = Sorter()
        handle = Recorder()
        s.write_to(handle=handle)
        with pytest.raises(TypeError, match=r"^Sorter\.write_to\(\) missing 1 required positional argument: 'handle'$"):
            Sorter().write_to()
        with pytest.raises(TypeError, match=r"^Sorter\.write_to\(\) got an unexpected keyword argument 'file'$"):
            Sorter().write_to(file=handle)

    def test_a_second_read_is_refused(self):
        s = Sorter()
        s.add(1)
        s.write_to(Recorder())
        with pytest.raises(RuntimeError, match=f"^{READ_ONCE}$"):
            s.write_to(Recorder())

    def test_a_damaged_run_fails_the_merge(self, tmp_path):
        max_bytes = 1 << 20
        s = Sorter(max_bytes=max_bytes, tmp_dir=tmp_path)
        for i in range(200_000):
            s.add_encoded(i, b"payload %d" % i)
        settle_spills(s, max_bytes, key=1 << 40)
        run = first_run(tmp_path)
        truncate_at_block(run, 1)
        handle = Recorder()
        with pytest.raises(OSError) as raised:
            s.write_to(handle)
        assert type(raised.value).__mro__[1] is OSError
        assert str(raised.value) == f"{run} ended before its last record"
        assert raised.value.filename == run
        assert spill_dirs(tmp_path) == []
        assert merge_threads() == 0
        # What was written before the failure is a prefix of the data.
        out = handle.output()
        assert b"".join(b"payload %d" % i for i in range(200_000)).startswith(out)


class TestThreads:
    def test_the_merging_thread_runs_only_during_the_call(self):
        seen = []

        def write(data):
            seen.append(merge_threads())
            return len(data)

        handle = type("Handle", (), {"write": staticmethod(write)})()
        s = sorter_with([bytes(1000)] * 10_000)
        assert merge_threads() == 0
        s.write_to(handle)
        # The merge runs at most three chunks ahead of the writes, so while the first seven
        # of ten are written it still has work; it may end before the last ones.
        assert len(seen) == 10
        assert seen[:7] == [1] * 7
        assert merge_threads() == 0

    def test_close_from_another_thread_does_not_stop_the_writing(self, tmp_path):
        payloads = [random.randbytes(1000) for _ in range(12_000)]
        s = Sorter(max_bytes=2 << 20, tmp_dir=tmp_path)
        for i, p in enumerate(payloads):
            s.add_encoded(i, p)
        first_write = threading.Event()
        closed = threading.Event()
        writes_when_closed = []
        handle = Recorder()
        plain_write = handle.write

        def slow_write(data):
            first_write.set()
            time.sleep(0.02)
            return plain_write(data)

        handle.write = slow_write

        def closer():
            first_write.wait()
            s.close()
            writes_when_closed.append(len(handle.writes))
            closed.set()

        t = threading.Thread(target=closer)
        t.start()
        s.write_to(handle)
        t.join()
        assert closed.is_set()
        assert writes_when_closed[0] < len(handle.writes), "close() waited for the writing"
        assert handle.output() == b"".join(payloads)
        assert spill_dirs(tmp_path) == []
        with pytest.raises(ValueError, match="^I/O operation on a closed sorter$"):
            s.sort()

    def test_a_real_file(self, tmp_path):
        seed = random.randrange(1 << 32)
        rng = random.Random(seed)
        lines = [b"%08x line\n" % rng.randrange(1 << 32) for _ in range(100_000)]
        s = Sorter(max_bytes=1 << 20, tmp_dir=tmp_path, threads=2)
        for line in lines:
            s.add_encoded(line, line)
        path = tmp_path / "out.txt"
        with open(path, "wb") as f:
            s.write_to(f)
        assert path.read_bytes() == b"".join(sorted(lines)), f"seed {seed}"
        assert os.listdir(tmp_path) == ["out.txt"]
