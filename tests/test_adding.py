"""Adding items: add, add_encoded and the adding half of sort(items); what each calls, in
which order, what each failure raises and what it leaves behind; adding from several
threads; interrupting an add that waits for a spill."""

import gc
import json
import os
import pathlib
import pickle
import random
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import tracemalloc

import pytest

from spill_files import spill_dirs
from tessarune import Sorter

CLOSED = "I/O operation on a closed sorter"
READ = "cannot add to a sorter once it has been read"
STOPPED = "the sorter stopped when reading it failed or was interrupted"
LOST = "an earlier error lost records, so sorting cannot go on"


class Log:
    """A key function and a codec that record their calls."""

    def __init__(self, fail_key=(), fail_encode=(), encode_result=None):
        self.calls = []
        self.fail_key = fail_key
        self.fail_encode = fail_encode
        self.encode_result = encode_result

    def key(self, item):
        self.calls.append(("key", item))
        if item in self.fail_key:
            raise LookupError(f"no key for {item!r}")
        return item

    def encode(self, item):
        self.calls.append(("encode", item))
        if item in self.fail_encode:
            raise ArithmeticError(f"cannot encode {item!r}")
        if self.encode_result is not None:
            return self.encode_result
        return repr(item).encode()

    def decode(self, data):
        return eval(data.decode())


# --- what add calls, and in which order -------------------------------------------------


def test_key_function_runs_before_the_codec_for_each_item():
    log = Log()
    s = Sorter(log.key, codec=log)
    s.add(2)
    s.sort([1, 3])
    assert log.calls == [("key", 2), ("encode", 2), ("key", 1), ("encode", 1),
                         ("key", 3), ("encode", 3)]


def test_failing_key_function_skips_the_codec():
    log = Log(fail_key={7})
    s = Sorter(log.key, codec=log)
    with pytest.raises(LookupError, match="no key for 7"):
        s.add(7)
    assert log.calls == [("key", 7)]
    assert len(s) == 0


def test_item_that_is_no_sort_key_skips_the_codec():
    log = Log()
    s = Sorter(codec=log)
    with pytest.raises(TypeError) as info:
        s.add({1: 2})
    assert str(info.value) == ("a sort key must be an int, float, str, bytes, None, or a "
                               "tuple or list of them, not dict")
    assert log.calls == []
    assert len(s) == 0


def test_failing_codec_adds_nothing():
    log = Log(fail_encode={5})
    s = Sorter(log.key, codec=log)
    s.add(4)
    with pytest.raises(ArithmeticError):
        s.add(5)
    assert len(s) == 1
    assert list(s.sort()) == [4]


@pytest.mark.parametrize("result, name", [("text", "str"), (bytearray(b"x"), "bytearray"),
                                          (memoryview(b"x"), "memoryview"), (None, "NoneType")])
def test_codec_must_return_bytes(result, name):
    class Codec:
        def encode(self, item):
            return result

        def decode(self, data):
            return data

    s = Sorter(codec=Codec())
    with pytest.raises(TypeError) as info:
        s.add(1)
    assert str(info.value) == f"a codec must encode an item into bytes, not {name}"
    assert len(s) == 0


def test_codec_may_return_a_bytes_subclass():
    class Tagged(bytes):
        pass

    class Codec:
        def encode(self, item):
            return Tagged(item.encode())

        def decode(self, data):
            assert type(data) is bytes
            return data.decode()

    s = Sorter(codec=Codec())
    for word in ("pear", "apple"):
        s.add(word)
    assert list(s.sort()) == ["apple", "pear"]


def test_pickle_is_called_with_protocol_5_and_checked_too(monkeypatch):
    calls = []
    real_dumps = pickle.dumps

    def dumps(obj, protocol=None):
        calls.append((obj, protocol))
        return "not bytes" if obj == "bad" else real_dumps(obj, protocol)

    monkeypatch.setattr(pickle, "dumps", dumps)
    s = Sorter()
    s.add("good")
    with pytest.raises(TypeError, match="^a codec must encode an item into bytes, not str$"):
        s.add("bad")
    assert calls == [("good", 5), ("bad", 5)]
    assert len(s) == 1


def test_items_are_their_own_keys_without_a_key_function():
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    makers = [lambda: rng.randint(-10**20, 10**20), lambda: rng.random() * 100,
              lambda: str(rng.random()), lambda: (rng.randint(0, 3), "x")]
    items = [rng.choice(makers)() for _ in range(300)]
    s = Sorter()
    for x in items:
        s.add(x)
    # Numbers sort before strs, and strs before tuples.
    rank = lambda x: 2 if isinstance(x, tuple) else 1 if isinstance(x, str) else 0
    assert list(s.sort()) == sorted(items, key=lambda x: (rank(x), x)), f"seed {seed}"


def test_key_function_may_use_the_same_sorter():
    # No lock is held while the key function runs, so it can add; its record comes first.
    s = Sorter(lambda x: x[0])

    def key(item):
        if item[1] == "outer":
            s.add((item[0], "inner"))
        return item[0]

    s = Sorter(key)
    s.add((1, "outer"))
    s.add((0, "plain"))
    assert len(s) == 3
    assert list(s.sort()) == [(0, "plain"), (1, "inner"), (1, "outer")]


# --- add_encoded ------------------------------------------------------------------------


def test_add_encoded_calls_neither_key_function_nor_codec():
    log = Log()
    s = Sorter(log.key, codec=log)
    s.add_encoded((2, "b"), b"\x00second")
    s.add_encoded((1, "z"), b"first\xff")
    s.add_encoded((2, "a"), b"")
    assert log.calls == []
    assert len(s) == 3
    assert list(s.encoded()) == [b"first\xff", b"", b"\x00second"]


def test_add_encoded_checks_the_payload_before_anything_else():
    s = Sorter()
    s.close()
    with pytest.raises(TypeError) as info:
        s.add_encoded({}, bytearray(b"x"))
    assert str(info.value) == "'bytearray' object is not an instance of 'bytes'"
    assert info.value.__notes__ == ["while processing 'payload'"]
    with pytest.raises(TypeError) as info:
        s.add_encoded(1, None)
    assert str(info.value) == "'None' is not an instance of 'bytes'"
    assert info.value.__notes__ == ["while processing 'payload'"]
    with pytest.raises(ValueError, match=f"^{CLOSED}$"):
        s.add_encoded({}, b"x")


def test_add_encoded_names_the_payload_type_by_its_qualified_name():
    class Chunk(bytearray):
        pass

    with pytest.raises(TypeError) as info:
        Sorter().add_encoded(1, Chunk())
    assert str(info.value) == f"'{Chunk.__qualname__}' object is not an instance of 'bytes'"
    assert "<locals>.Chunk" in str(info.value)


def test_add_encoded_with_a_bad_key_adds_nothing():
    s = Sorter()
    with pytest.raises(TypeError, match="not set$"):
        s.add_encoded({1}, b"x")
    nested = ()
    for _ in range(300):
        nested = (nested,)
    with pytest.raises(RecursionError):
        s.add_encoded(nested, b"x")
    assert len(s) == 0
    s.add_encoded(1, b"x")
    assert list(s.encoded()) == [b"x"]


# --- sort(items) ------------------------------------------------------------------------


def test_sort_items_failing_midway_keeps_the_earlier_items():
    pulled = []

    def items():
        for x in ("b", "a", "boom", "c"):
            pulled.append(x)
            yield x

    log = Log(fail_key={"boom"})
    s = Sorter(log.key, codec=log)
    s.add("z")
    with pytest.raises(LookupError):
        s.sort(items())
    assert pulled == ["b", "a", "boom"]
    assert len(s) == 3
    assert list(s.sort()) == ["a", "b", "z"]


def test_sort_items_failing_iterator_keeps_the_earlier_items():
    class Broken(Exception):
        pass

    def items():
        yield 2
        yield 1
        raise Broken()

    s = Sorter()
    with pytest.raises(Broken):
        s.sort(items())
    assert len(s) == 2
    s.add(0)
    assert list(s.sort([3])) == [0, 1, 2, 3]


def test_sort_of_a_non_iterable_raises_the_interpreters_error():
    s = Sorter()
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        s.sort(5)
    assert list(s.sort([2, 1])) == [1, 2]


def test_sort_without_items_adds_nothing():
    for call in (lambda s: s.sort(), lambda s: s.sort(None)):
        s = Sorter()
        s.add(1)
        assert list(call(s)) == [1]
        assert len(s) == 1


# --- adding after close, after a read, after a failed read ------------------------------


def untouched_iterable(touched):
    class Items:
        def __iter__(self):
            touched.append(True)
            return iter([1])

    return Items()


def test_adding_after_close():
    touched = []
    log = Log()
    s = Sorter(log.key, codec=log)
    s.add(1)
    s.close()
    for call in (lambda: s.add(2), lambda: s.add_encoded(2, b"2"),
                 lambda: s.sort(untouched_iterable(touched))):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == CLOSED
    assert touched == [] and log.calls == [("key", 1), ("encode", 1)]
    assert len(s) == 1


@pytest.mark.parametrize("read", ["sort", "encoded", "write_to", "exhausted"])
def test_adding_after_a_read(read, tmp_path):
    import io

    touched = []
    log = Log()
    s = Sorter(log.key, codec=log)
    s.add(1)
    if read == "write_to":
        s.write_to(io.BytesIO())
    elif read == "exhausted":
        assert list(s.sort()) == [1]
    else:
        getattr(s, read)()
    log.calls.clear()
    for call in (lambda: s.add(2), lambda: s.add_encoded(2, b"2"),
                 lambda: s.sort(untouched_iterable(touched))):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == READ
    assert touched == [] and log.calls == []
    assert len(s) == 1


def test_adding_after_a_failed_read():
    class Codec:
        def encode(self, item):
            return str(item).encode()

        def decode(self, data):
            raise ValueError("undecodable")

    s = Sorter(codec=Codec())
    s.add(1)
    with pytest.raises(ValueError, match="undecodable"):
        list(s.sort())
    for call in (lambda: s.add(2), lambda: s.add_encoded(2, b"2"), lambda: s.sort([3])):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == STOPPED
    assert len(s) == 1


# --- failures of the engine -------------------------------------------------------------


def test_a_failed_spill_loses_records_and_refuses_further_adds(tmp_path):
    s = Sorter(max_bytes=4096, tmp_dir=tmp_path)
    i = 0
    while not spill_dirs(tmp_path):
        s.add_encoded(i, b"x" * 100)
        i += 1
    spill_dir = spill_dirs(tmp_path)[0]
    # The first spill may still be making its run file while the directory is removed: a file
    # made between the listing and the removal of the directory is removed in another pass.
    while os.path.exists(spill_dir):
        shutil.rmtree(spill_dir, ignore_errors=True)
    accepted = len(s)
    with pytest.raises(OSError) as info:
        for j in range(1000):
            s.add_encoded(i + j, b"x" * 100)
            accepted += 1
    assert isinstance(info.value, FileNotFoundError)
    assert str(info.value).startswith(str(spill_dir) + "/")
    assert len(s) == accepted
    for call in (lambda: s.add(0), lambda: s.add_encoded(0, b""), lambda: s.sort()):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == LOST
    assert len(s) == accepted
    s.close()
    assert spill_dirs(tmp_path) == []


@pytest.mark.slow
def test_payload_size_limit_is_four_gib(tmp_path):
    # bytes(n) is backed by untouched zero pages: neither payload costs memory or time to
    # make; only the engine's copy of the accepted one does.
    too_big = bytes(2**32)
    s = Sorter(tmp_dir=tmp_path)
    s.add_encoded(0, b"before")
    with pytest.raises(ValueError) as info:
        s.add_encoded(1, too_big)
    assert str(info.value) == "a key or value must be shorter than 4 GiB"
    assert len(s) == 1
    s.add_encoded(2, b"after")
    del too_big
    largest = bytes(2**32 - 1)
    s.add_encoded(3, largest)
    del largest
    assert len(s) == 3
    # Closing drops the largest record without ever writing it.
    s.close()
    assert spill_dirs(tmp_path) == []


# --- several threads --------------------------------------------------------------------


@pytest.mark.parametrize("threads", [1, 2])
def test_threads_adding_to_one_sorter(tmp_path, threads):
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    per_thread = 4000
    workers = 4
    s = Sorter(lambda item: item[0], max_bytes=32768, tmp_dir=tmp_path, threads=threads)
    items = [[(rng.randrange(500), w, i) for i in range(per_thread)] for w in range(workers)]
    start = threading.Barrier(workers)
    errors = []

    def work(mine):
        try:
            start.wait()
            for n, item in enumerate(mine):
                if n % 2:
                    s.add_encoded(item[0], pickle.dumps(item, 5))
                else:
                    s.add(item)
        except BaseException as e:
            errors.append(e)

    pool = [threading.Thread(target=work, args=(mine,)) for mine in items]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert errors == [], f"seed {seed}"
    assert len(s) == workers * per_thread, f"seed {seed}"
    out = list(s.sort())
    assert sorted(out) == sorted(x for mine in items for x in mine), f"seed {seed}"
    # Equal keys keep each thread's own adding order.
    for w in range(workers):
        mine = [x for x in out if x[1] == w]
        by_key = {}
        for key, _, i in mine:
            by_key.setdefault(key, []).append(i)
        assert all(v == sorted(v) for v in by_key.values()), f"seed {seed}"
    assert spill_dirs(tmp_path) == []


def test_threads_adding_while_another_closes(tmp_path):
    s = Sorter(max_bytes=8192, tmp_dir=tmp_path)
    outcomes = []
    go = threading.Event()

    def work(w):
        go.wait()
        added = 0
        try:
            for i in range(100000):
                s.add((i, w))
                added += 1
        except ValueError as e:
            outcomes.append((added, str(e)))

    pool = [threading.Thread(target=work, args=(w,)) for w in range(3)]
    for t in pool:
        t.start()
    go.set()
    deadline = time.monotonic() + 60
    while len(s) < 3000 and time.monotonic() < deadline:
        time.sleep(0.001)
    s.close()
    for t in pool:
        t.join()
    assert [message for _, message in outcomes] == [CLOSED] * 3
    assert sum(added for added, _ in outcomes) == len(s)
    assert spill_dirs(tmp_path) == []


# --- references and memory --------------------------------------------------------------


@pytest.fixture
def fast_tmp(tmp_path):
    """A directory on a memory file system when there is one: every sorter made there makes
    and removes a directory, which takes milliseconds on some disks."""
    shm = "/dev/shm"
    if not (os.path.isdir(shm) and os.access(shm, os.W_OK)):
        yield tmp_path
        return
    path = tempfile.mkdtemp(dir=shm)
    try:
        yield pathlib.Path(path)
    finally:
        shutil.rmtree(path, ignore_errors=True)


def test_adding_and_constructing_leak_nothing(fast_tmp):
    tmp_path = fast_tmp
    class Codec:
        def encode(self, item):
            return item if isinstance(item, bytes) else str(item)

        def decode(self, data):
            return data

    def one_round(i):
        s = Sorter(lambda x: x, max_bytes=4096, tmp_dir=tmp_path)
        for j in range(20):
            s.add(f"item-{i}-{j}" * 3)
        s.add_encoded((i, "k"), f"payload-{i}".encode())
        for bad in ({}, [set()], object()):
            try:
                s.add(bad)
            except TypeError:
                pass
        try:
            s.add_encoded(f"k{i}", bytearray(b"x"))
        except TypeError:
            pass
        bad_codec = Sorter(codec=Codec(), tmp_dir=tmp_path)
        try:
            bad_codec.add(i * 10**30)
        except TypeError:
            pass
        bad_codec.add(f"b{i}".encode())
        for kwargs in (dict(max_bytes=1), dict(key=5), dict(codec=object()),
                       dict(max_open=str(i)), dict(tmp_dir=str(tmp_path / "nope"))):
            try:
                Sorter(**kwargs)
            except (TypeError, ValueError, OSError):
                pass
        if i % 2:
            s.close()
        try:
            s.add(1)
        except ValueError:
            pass

    def measure():
        gc.collect()
        return len(gc.get_objects()), tracemalloc.get_traced_memory()[0]

    # Caches, free lists and the interpreter's own bookkeeping grow during the first rounds
    # and then settle; a leak keeps growing at the same pace, so compare two later windows.
    for i in range(300):
        one_round(i)
    tracemalloc.start()
    try:
        for i in range(500):
            one_round(i)
        measure()
        for i in range(2000):
            one_round(i)
        objects_before, traced_before = measure()
        for i in range(2000):
            one_round(i)
        objects_after, traced_after = measure()
    finally:
        tracemalloc.stop()
    assert objects_after - objects_before < 20
    # One leaked object per round would be 2000 objects of at least 32 bytes each, 64 KiB;
    # what the interpreter keeps and replaces stays near 20 KiB whatever the window.
    assert traced_after - traced_before < 40 * 1024
    assert spill_dirs(tmp_path) == []


# --- a signal handler that raises while add waits for a spill ---------------------------

SIGNAL_SCRIPT = textwrap.dedent("""
    import json, os, signal, sys, time
    from tessarune import Sorter

    tmp_dir = sys.argv[1]
    # Repeating a random MiB gives data that LZ4 cannot shrink but that is cheap to make, so
    # the spill of one such record takes a long while and the next add has to wait for it.
    payload = os.urandom(1 << 20) * 512
    small = b"s" * 2048
    s = Sorter(max_bytes=2 * (len(payload) + 1024), tmp_dir=tmp_dir)
    s.add_encoded(0, payload)
    s.add_encoded(1, small)  # the first half is full: its spill starts now
    report = {}

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    due = time.monotonic() + 0.05
    try:
        s.add_encoded(2, payload)
        report["first"] = "added"
    except KeyboardInterrupt:
        report["first"] = "interrupted"
        report["latency"] = time.monotonic() - due
    report["len_after_interrupt"] = len(s)
    started = time.monotonic()
    s.add_encoded(2, payload)  # waits for the same spill again, then starts the next one
    report["rest_of_spill"] = time.monotonic() - started
    report["len_after_retry"] = len(s)

    s.add_encoded(3, small)  # the half holding record 2 is full: its spill starts now
    inner = []
    def reenter(signum, frame):
        try:
            s.add_encoded(99, b"from the handler")
        except RuntimeError as e:
            inner.append(str(e))
            raise

    signal.signal(signal.SIGALRM, reenter)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        s.add_encoded(4, payload)
        report["second"] = "added"
    except RuntimeError as e:
        report["second"] = str(e)
    report["inner"] = inner
    report["len_after_reentry"] = len(s)
    s.add_encoded(4, payload)
    report["len_at_end"] = len(s)
    s.close()
    report["left_behind"] = os.listdir(tmp_dir)
    print(json.dumps(report))
""")


def test_signal_interrupts_an_add_waiting_for_a_spill(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", SIGNAL_SCRIPT, str(tmp_path)],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["first"] == "interrupted", report
    # The wait polls signals every 50 ms, so the exception comes soon after the signal, and
    # well before the spill it was waiting for ended.
    assert report["latency"] < 0.2, report
    assert report["rest_of_spill"] > 0.1, report
    assert report["len_after_interrupt"] == 2
    assert report["len_after_retry"] == 3
    # A handler runs while the waiting add has let go of the sorter's lock, so an add of
    # its own goes through, and then so does the one it interrupted.
    assert report["second"] == "added"
    assert report["inner"] == []
    assert report["len_after_reentry"] == 6
    assert report["len_at_end"] == 7
    assert report["left_behind"] == []
