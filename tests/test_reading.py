"""Reading a sorter back: sort(), encoded(), the iterator's batches, failures and close()."""

import functools
import gc
import operator
import pickle
import queue
import random
import signal
import threading

import pytest

from tessarune import Sorter

from spill_files import run_files, spill_dirs

CLOSED = "I/O operation on a closed sorter"
READ_ONCE = "a sorter can be read only once"
STOPPED = "the sorter stopped when reading it failed or was interrupted"


class FailsOnThird:
    """A pickling codec whose third decode raises `error`."""

    def __init__(self, error):
        self.calls = 0
        self.error = error

    def encode(self, item):
        return pickle.dumps(item)

    def decode(self, data):
        self.calls += 1
        if self.calls == 3:
            raise self.error
        return pickle.loads(data)


def poll_points(iterator, on_signal=None, signum=signal.SIGUSR1):
    """Drives `iterator` to its end from C code alone, with a signal made pending before
    every next() call, and returns (items, indexes of the next() calls that polled signals).

    Python runs signal handlers only where something checks for them: the eval loop, or C
    code that asks. Here no Python code runs between next() calls (zip, a C queue and C
    callables drive everything), so a handler runs only where next() itself polls, and it
    records which call that was. A feeder thread makes the signal pending (a thread that is
    not the main thread never runs handlers) before it lets each next() call go ahead.
    """
    requests = queue.SimpleQueue()
    tokens = queue.SimpleQueue()
    calls = [0]
    points = []

    def handler(signum, frame):
        points.append(calls[0] - 1)
        if on_signal is not None:
            on_signal()

    def feeder():
        while requests.get():
            signal.pthread_kill(threading.get_ident(), signum)
            calls[0] += 1
            tokens.put(None)

    old = signal.signal(signum, handler)
    thread = threading.Thread(target=feeder)
    thread.start()
    try:
        ask = iter(functools.partial(requests.put, True), object())
        take = iter(tokens.get, object())
        items = list(map(operator.itemgetter(2), zip(ask, take, iterator)))
    finally:
        requests.put(False)
        thread.join()
        signal.signal(signum, old)
    return items, points


class TestBatches:
    def test_small_payloads_come_in_batches_of_4096(self):
        s = Sorter()
        for i in range(10_000):
            s.add_encoded(i, bytes([i % 251]))
        items, points = poll_points(s.encoded())
        assert items == [bytes([i % 251]) for i in range(10_000)]
        # Three refills of 4096, 4096 and 1808 payloads, and a fourth that finds the end.
        assert points == [0, 4096, 8192, 10_000]

    def test_large_payloads_stop_a_batch_once_it_holds_1_mib(self):
        s = Sorter()
        payloads = [random.randbytes(600_000) for _ in range(5)]
        for i, p in enumerate(payloads):
            s.add_encoded(i, p)
        items, points = poll_points(s.encoded())
        assert items == payloads
        assert points == [0, 2, 4, 5]

    def test_a_payload_larger_than_1_mib_is_a_batch_of_its_own(self):
        s = Sorter()
        sizes = [10, 3 << 20, 10, 10]
        for i, n in enumerate(sizes):
            s.add_encoded(i, bytes(n))
        items, points = poll_points(s.encoded())
        assert [len(x) for x in items] == sizes
        assert points == [0, 2, 4]

    def test_batches_are_the_same_across_spilled_runs(self, tmp_path):
        s = Sorter(max_bytes=64 << 10, tmp_dir=tmp_path)
        order = list(range(9000))
        random.Random(5).shuffle(order)
        for i in order:
            s.add_encoded(i, b"%d" % i)
        assert len(run_files(tmp_path)) > 2
        items, points = poll_points(s.encoded())
        assert items == [b"%d" % i for i in range(9000)]
        assert points == [0, 4096, 8192, 9000]
        assert spill_dirs(tmp_path) == []

    def test_a_handler_may_call_back_into_the_sorter(self):
        s = Sorter()
        for i in range(5000):
            s.add(i)
        it = s.sort()
        taken, refusals = [], []

        def call_back():
            taken.append(next(it, None))
            for call in (lambda: s.add(1), s.encoded):
                try:
                    call()
                except RuntimeError as e:
                    refusals.append(str(e))

        items, points = poll_points(it, on_signal=call_back)
        # Handlers run with the sorter's lock free: a next() inside one takes the item due
        # next, and nothing is lost or handed out twice.
        assert taken == [0, 4096, None]
        assert items == [i for i in range(5000) if i not in (0, 4096)]
        assert refusals == ["cannot add to a sorter once it has been read", READ_ONCE] * 3


class TestOrder:
    @pytest.mark.parametrize("threads", [1, 2])
    def test_equal_keys_keep_adding_order_across_batches_and_runs(self, tmp_path, threads):
        seed = random.randrange(1 << 32)
        rng = random.Random(seed)
        items = [(rng.randrange(7), i, "x" * rng.randrange(40)) for i in range(30_000)]
        s = Sorter(key=operator.itemgetter(0), max_bytes=256 << 10, max_open=3, tmp_dir=tmp_path,
                   threads=threads)
        it = s.sort(items)
        assert spill_dirs(tmp_path), "the test needs spilled runs"
        assert list(it) == sorted(items, key=operator.itemgetter(0)), f"seed {seed}"

    def test_sort_matches_sorted_with_a_codec(self):
        class Codec:
            def encode(self, item):
                return repr(item).encode()

            def decode(self, data):
                return eval(data.decode())

        seed = random.randrange(1 << 32)
        rng = random.Random(seed)
        items = [(rng.choice("abc"), rng.randrange(-50, 50)) for _ in range(3000)]
        s = Sorter(key=lambda t: (t[1], t[0]), codec=Codec())
        assert list(s.sort(items)) == sorted(items, key=lambda t: (t[1], t[0])), f"seed {seed}"

    def test_encoded_yields_the_payloads_as_given_without_decoding(self):
        class Undecodable:
            def encode(self, item):
                return b"<" + str(item).encode() + b">"

            def decode(self, data):
                raise AssertionError("encoded() must not decode")

        s = Sorter(codec=Undecodable())
        s.add(3)
        s.add_encoded(1, b"\x00raw\xff")
        s.add(2)
        assert list(s.encoded()) == [b"\x00raw\xff", b"<2>", b"<3>"]


class TestEnds:
    def test_an_empty_sorter_reads_as_nothing_once(self):
        s = Sorter()
        it = s.sort()
        assert list(it) == []
        with pytest.raises(StopIteration):
            next(it)
        with pytest.raises(RuntimeError, match=f"^{READ_ONCE}$"):
            s.sort()
        t = Sorter()
        assert list(t.encoded()) == []
        with pytest.raises(RuntimeError, match=f"^{READ_ONCE}$"):
            t.encoded()

    def test_the_end_repeats(self):
        s = Sorter()
        s.add("a")
        it = s.sort()
        assert next(it) == "a"
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(it)
        with pytest.raises(RuntimeError, match=f"^{READ_ONCE}$"):
            s.sort()
        with pytest.raises(RuntimeError, match="^cannot add to a sorter once it has been read$"):
            s.add(1)

    def test_a_failing_decoder_ends_the_read(self, tmp_path):
        class Boom(Exception):
            pass

        codec = FailsOnThird(Boom("third"))
        s = Sorter(codec=codec, max_bytes=32 << 10, tmp_dir=tmp_path)
        it = s.sort(range(20_000))
        assert next(it) == 0
        assert next(it) == 1
        assert spill_dirs(tmp_path)
        with pytest.raises(Boom) as raised:
            next(it)
        assert raised.value is codec.error
        assert spill_dirs(tmp_path) == []
        with pytest.raises(StopIteration):
            next(it)
        assert codec.calls == 3
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            s.sort()
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            s.add(1)
        with pytest.raises(RuntimeError, match=f"^{STOPPED}$"):
            with open(tmp_path / "out", "wb") as out:
                s.write_to(out)

    def test_close_between_two_items(self, tmp_path):
        s = Sorter(max_bytes=32 << 10, tmp_dir=tmp_path)
        it = s.sort(range(20_000))
        assert next(it) == 0
        assert spill_dirs(tmp_path)
        assert s.close() is None
        assert spill_dirs(tmp_path) == []
        for _ in range(3):
            with pytest.raises(ValueError, match=f"^{CLOSED}$"):
                next(it)
        assert s.close() is None
        with pytest.raises(ValueError, match=f"^{CLOSED}$"):
            s.sort()
        assert len(s) == 20_000

    def test_a_with_block_closes_even_when_it_raises(self, tmp_path):
        with pytest.raises(KeyError):
            with Sorter(max_bytes=32 << 10, tmp_dir=tmp_path) as s:
                s.sort(range(10_000))
                assert spill_dirs(tmp_path)
                raise KeyError("inside")
        assert spill_dirs(tmp_path) == []
        with pytest.raises(ValueError, match=f"^{CLOSED}$"):
            s.encoded()

    def test_dropping_the_iterator_leaves_the_read_to_the_sorter(self, tmp_path):
        s = Sorter(max_bytes=32 << 10, tmp_dir=tmp_path)
        it = s.sort(range(20_000))
        next(it)
        del it
        gc.collect()
        assert spill_dirs(tmp_path), "the sorter still holds the read"
        with pytest.raises(RuntimeError, match=f"^{READ_ONCE}$"):
            s.sort()
        del s
        gc.collect()
        assert spill_dirs(tmp_path) == []

    def test_the_iterator_outlives_its_sorter(self, tmp_path):
        s = Sorter(max_bytes=32 << 10, tmp_dir=tmp_path)
        it = s.sort(range(20_000))
        del s
        gc.collect()
        assert list(it) == list(range(20_000))
        assert spill_dirs(tmp_path) == []


class TestIteratorType:
    def test_class_surface(self):
        it = Sorter().sort()
        cls = type(it)
        assert cls.__name__ == "_SortedIterator"
        assert cls.__module__ == "tessarune"
        assert cls.__doc__ == "The items of a sorter, merged in order as they are read."
        assert iter(it) is it
        assert type(Sorter().encoded()) is cls
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


class TestThreads:
    def test_threads_sharing_an_iterator_get_each_item_once_and_in_order(self, tmp_path):
        n = 60_000
        s = Sorter(max_bytes=256 << 10, tmp_dir=tmp_path)
        order = list(range(n))
        random.Random(11).shuffle(order)
        for i in order:
            s.add_encoded(i, i.to_bytes(4, "big"))
        it = s.encoded()
        start = threading.Barrier(4)
        taken = [[] for _ in range(4)]

        def reader(mine):
            start.wait()
            for item in it:
                mine.append(int.from_bytes(item, "big"))

        threads = [threading.Thread(target=reader, args=(taken[k],)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for mine in taken:
            assert mine == sorted(mine)
        assert sorted(x for mine in taken for x in mine) == list(range(n))
        assert spill_dirs(tmp_path) == []

    def test_close_from_another_thread_while_iterating(self, tmp_path):
        s = Sorter(max_bytes=64 << 10, tmp_dir=tmp_path)
        it = s.sort(range(200_000))
        seen = []
        failures = []

        def reader():
            try:
                for x in it:
                    seen.append(x)
            except ValueError as e:
                failures.append(str(e))

        t = threading.Thread(target=reader)
        t.start()
        while not seen:
            pass
        s.close()
        t.join()
        assert spill_dirs(tmp_path) == []
        # Whatever came out before the close is a prefix of the data, with no gap.
        assert seen == list(range(len(seen)))
        assert failures in ([CLOSED], []) and (failures or len(seen) == 200_000)

    def test_a_stop_by_one_consumer_is_an_error_for_the_others(self, tmp_path):
        s = Sorter(codec=FailsOnThird(ArithmeticError("third")), max_bytes=32 << 10, tmp_dir=tmp_path)
        it = s.sort(range(20_000))
        assert [next(it), next(it)] == [0, 1]
        with pytest.raises(ArithmeticError):
            next(it)
        others = []

        def other():
            for _ in range(2):
                try:
                    others.append(repr(next(it, "end")))
                except RuntimeError as e:
                    others.append(str(e))

        t = threading.Thread(target=other)
        t.start()
        t.join()
        # Another consumer must not take the stop for the end of the data; the one that saw
        # the error sees the end, as with a generator.
        assert others == [STOPPED, STOPPED]
        assert next(it, "end") == "end"
