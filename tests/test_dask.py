"""tessarune.dask.sort_files on worker processes, against a stable sort in one process."""

import bz2
import functools
import gzip
import importlib
import json
import lzma
import os
import random
import signal
import subprocess
import sys
import threading
import time
from compression import zstd

import pytest

distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

import tessarune  # noqa: E402
import tessarune.dask as tdask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # Key functions defined here must reach worker processes that cannot import this file.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def write_shards(directory, shards, newline_at_end=True):
    paths = []
    for i, lines in enumerate(shards):
        path = os.path.join(directory, f"shard-{i}.txt")
        text = "".join(line + "\n" for line in lines)
        if lines and not newline_at_end:
            text = text[:-1]
        with open(path, "w") as f:
            f.write(text)
        paths.append(path)
    return paths


def read_parts(parts):
    lines = []
    for path in parts:
        with open(path) as f:
            lines.append(f.read().splitlines())
    return lines


def jsonl_shards(counts, keys, seed):
    rng = random.Random(seed)
    return [[json.dumps({"k": rng.choice(keys), "shard": s, "line": n}) for n in range(count)]
            for s, count in enumerate(counts)]


def key_k(rec):
    return rec["k"]


def line_key(line):
    return line.split(b",")[0]


SKEWED = [[("hot" if (s + n) % 2 else f"k{random.Random(s * 1000 + n).randrange(400):03d}") + f",{s},{n}"
           for n in range(1500)] for s in range(3)]

CASES = {
    # Few distinct keys: many ties, some surely on the range boundaries.
    "jsonl ties": dict(shards=jsonl_shards([900, 700, 1100], [3, 1.0, -2, True, 7], 1), format="jsonl",
                       key=key_k, ref_key=key_k, parse=json.loads),
    "jsonl empty shards": dict(shards=[[]] + jsonl_shards([0, 800, 0, 600], list(range(40)), 2)[1:] + [[]],
                               format="jsonl", key=key_k, ref_key=key_k, parse=json.loads),
    "lines, no key": dict(shards=[[f"{random.Random(n).randrange(300):04d}" for n in range(2000)],
                                  [f"{n % 50:04d}" for n in range(1500)]],
                          format="lines", key=None, ref_key=lambda line: line, parse=str.encode),
    "lines skewed": dict(shards=SKEWED, format="lines", key=line_key,
                         ref_key=line_key, parse=str.encode),
    "single shard": dict(shards=jsonl_shards([3000], [[1, "a"], [1, "b"], [0, "z"], None], 3), format="jsonl",
                         key=lambda rec: (rec["k"] is None, rec["k"]), parse=json.loads,
                         ref_key=lambda rec: (rec["k"] is None, rec["k"])),
}


@pytest.mark.parametrize("case", CASES.values(), ids=list(CASES))
@pytest.mark.parametrize("newline_at_end", [True, False], ids=["newline", "no newline"])
def test_parts_hold_a_stable_sort_of_the_inputs(client, tmp_path, case, newline_at_end):
    paths = write_shards(tmp_path, case["shards"], newline_at_end)
    out = tmp_path / "out"
    # max_bytes small enough that every partition spills and merges runs.
    parts = tdask.sort_files(paths, out, key=case["key"], format=case["format"], partitions=4,
                             client=client, max_bytes=16 << 10, tmp_dir=tmp_path)

    inputs = [line for shard in case["shards"] for line in shard]
    expected = sorted(inputs, key=lambda line: case["ref_key"](case["parse"](line)))
    got = read_parts(parts)
    assert [line for part in got for line in part] == expected
    assert parts == [str(out / f"part-{i:05d}") for i in range(len(parts))]
    assert sorted(os.listdir(out)) == [os.path.basename(p) for p in parts], "temporary files left"
    # Equal keys never straddle two parts.
    part_keys = [{tessarune_key(case, line) for line in part} for part in got]
    for i, keys in enumerate(part_keys):
        for later in part_keys[i + 1:]:
            assert keys.isdisjoint(later)


def tessarune_key(case, line):
    item = case["parse"](line)
    return tessarune.key_bytes(item if case["key"] is None else case["key"](item))


def test_skewed_key_lands_in_one_part(client, tmp_path):
    paths = write_shards(tmp_path, SKEWED)
    parts = tdask.sort_files(paths, tmp_path / "out", key=line_key, partitions=6, client=client,
                             max_bytes=16 << 10)
    holding = [i for i, part in enumerate(read_parts(parts)) if any(line.startswith("hot,") for line in part)]
    assert len(holding) == 1
    assert len(parts) > 1, "the other keys still spread over several parts"


def test_globs_and_all_empty_shards(client, tmp_path):
    write_shards(tmp_path, [[], []])
    parts = tdask.sort_files([str(tmp_path / "shard-*.txt")], tmp_path / "out", client=client)
    assert read_parts(parts) == [[]]
    with pytest.raises(FileNotFoundError, match="matches no file"):
        tdask.sort_files(str(tmp_path / "none-*.txt"), tmp_path / "out", client=client)


def key_failing_on_line_5(rec):
    if rec["line"] == 5 and rec["shard"] == 1:
        raise LookupError("no key here")
    return rec["k"]


def test_failure_names_shard_and_line_and_leaves_nothing(client, tmp_path):
    paths = write_shards(tmp_path, jsonl_shards([400, 400, 400], [1, 2, 3], 4))
    out = tmp_path / "out"
    out.mkdir()
    (out / "keep.txt").write_text("not ours")
    with pytest.raises(LookupError, match="no key here") as info:
        tdask.sort_files(paths, out, key=key_failing_on_line_5, format="jsonl", partitions=3,
                         client=client, tmp_dir=tmp_path / "spill")
    assert f"in shard {paths[1]}, line 6" in info.value.__notes__
    assert os.listdir(out) == ["keep.txt"], "no part is published and no bucket is left"
    assert leftovers(out, tmp_path / "spill") == ["keep.txt"]


def test_bad_json_names_its_line(client, tmp_path):
    paths = write_shards(tmp_path, [['{"k": 1}', "", '{"k": 2', '{"k": 3}']])
    with pytest.raises(json.JSONDecodeError) as info:
        tdask.sort_files(paths, tmp_path / "out", key=key_k, format="jsonl", client=client)
    assert f"in shard {paths[0]}, line 3" in info.value.__notes__


def test_a_key_no_shard_has_is_refused_before_any_part(client, tmp_path):
    # "v" is in one shard only, which is enough; "usr.id" is in none.
    paths = write_shards(tmp_path, [['{"k": 1}', '{"k": 2}'], ['{"v": 3}'], []])
    out = tmp_path / "out"
    parts = tdask.sort_files(paths, out, key="v:desc", format="jsonl", client=client)
    assert b"".join(open(p, "rb").read() for p in parts).splitlines()[0] == b'{"v": 3}'
    with pytest.raises(ValueError, match="^no record has the key usr.id$"):
        tdask.sort_files(paths, tmp_path / "typo", key="k,usr.id", format="jsonl", client=client)
    assert not os.path.exists(tmp_path / "typo") or os.listdir(tmp_path / "typo") == []


def test_jsonl_read_as_the_command_reads_it(client, tmp_path):
    # Each shard starts with a byte order mark and holds lines of only whitespace.
    paths = []
    for i, lines in enumerate(jsonl_shards([300, 200], [1, 2, 3], 6)):
        path = tmp_path / f"shard-{i}.jsonl"
        path.write_bytes(b"\xef\xbb\xbf" + b"\n \n".join(x.encode() for x in lines) + b"\n\t\n")
        paths.append(str(path))
    parts = tdask.sort_files(paths, tmp_path / "out", key=key_k, format="jsonl", partitions=3,
                             client=client)
    got = b"".join(open(p, "rb").read() for p in parts)
    assert len(got.splitlines()) == 500 and b"\xef\xbb\xbf" not in got
    command = subprocess.run([sys.executable, "-m", "tessarune", "--jsonl", "-k", "k", *paths],
                             capture_output=True, check=True, timeout=120)
    assert got == command.stdout


def test_import_without_dask_says_how_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    monkeypatch.delitem(sys.modules, "tessarune.dask")
    with pytest.raises(ImportError, match=r"pip install 'tessarune\[dask\]'"):
        importlib.import_module("tessarune.dask")


def leftovers(out, spill):
    """Whatever a sort left in its output and spill directories besides the parts."""
    found = [name for name in os.listdir(out) if not name.startswith("part-")]
    found += os.listdir(spill) if os.path.exists(spill) else []
    return found


def event_lines(count, seed):
    rng = random.Random(seed)
    return [json.dumps({"user": {"id": rng.randrange(30)}, "ts": rng.choice([1, 2.5, "x", None]),
                        "n": n}) for n in range(count)]


def csv_lines(count, seed):
    rng = random.Random(seed)
    return [f'{rng.randrange(-50, 50)},"c{rng.randrange(9)}, q",{n}' for n in range(count)]


DECLARATIVE = {
    "lines fields": dict(shards=[[f"{n % 7} {random.Random(n).randrange(100)} {n}" for n in range(1500)]
                                 for _ in range(3)], format="lines", key=["2,2n", "1,1"]),
    "lines whole, reversed": dict(shards=[[f"{random.Random(n).randrange(300):04d}" for n in range(2000)],
                                          ["\ufeffbom", "b"]], format="lines", reverse=True),
    "jsonl paths": dict(shards=[[""] + event_lines(1200, s) + ["  "] for s in range(3)], format="jsonl",
                        key="user.id,ts"),
    "csv columns": dict(shards=[["\ufeffv,w,n"] + csv_lines(900, s) for s in range(3)] + [[]],
                        format="csv", key="v", numeric=True),
    "jsonl Key objects, per-key reverse": dict(
        shards=[event_lines(1000, s) for s in range(3)], format="jsonl",
        key=[tessarune.Key(("user", "id"), type="number"), "ts"], reverse=[True, False], nulls_last=[None, True]),
    "jsonl compressed shards": dict(shards=[event_lines(1500, s) for s in range(3)], format="jsonl",
                                    key="user.id", compress=["gzip", "zstd", None]),
}


def compress_shards(paths, kinds):
    """Each shard compressed as `kinds` says (None: left as it is), in place."""
    for path, kind in zip(paths, kinds):
        if kind is not None:
            with open(path, "rb") as f:
                data = f.read()
            with open(path, "wb") as f:
                f.write(COMPRESS[kind](data))


COMPRESS = {"gzip": gzip.compress, "zstd": zstd.compress, "bzip2": bz2.compress, "xz": lzma.compress}


@pytest.mark.parametrize("case", DECLARATIVE.values(), ids=list(DECLARATIVE))
def test_declarative_keys_give_the_single_process_output(client, tmp_path, case):
    options = {k: v for k, v in case.items() if k not in ("shards", "compress")}
    paths = write_shards(tmp_path, case["shards"], newline_at_end=False)
    compress_shards(paths, case.get("compress", []))
    out, spill = tmp_path / "out", tmp_path / "spill"
    parts = tdask.sort_files(paths, out, partitions=3, client=client, max_bytes=16 << 10,
                             tmp_dir=spill, **options)
    with open(tmp_path / "single", "wb") as single:
        tessarune.sort_files(paths, single, **options)
    got = b"".join(open(p, "rb").read() for p in parts)
    assert got == (tmp_path / "single").read_bytes()
    assert len(parts) > 1
    assert leftovers(out, spill) == []


def key_killing_its_worker_once(marker, line):
    # Kills this worker's process in the middle of a shard's bucketing, the first time only.
    task = str(distributed.get_worker().get_current_task())
    if "tessarune-bucket" in task and line.endswith(b",700") and not os.path.exists(marker):
        open(marker, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return line.split(b",")[0]


def test_a_worker_killed_while_bucketing_still_gives_the_exact_output(tmp_path):
    paths = write_shards(tmp_path, SKEWED)
    out, spill = tmp_path / "out", tmp_path / "spill"
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    # A cluster of its own: the killed worker's replacement must not slow the other tests.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        parts = tdask.sort_files(paths, out, key=functools.partial(key_killing_its_worker_once, str(tmp_path / "killed")),
                                 partitions=3,
                                 client=c, max_bytes=16 << 10, tmp_dir=spill)
    assert (tmp_path / "killed").exists(), "no worker was killed"
    expected = sorted((line for shard in SKEWED for line in shard), key=lambda l: l.split(",")[0])
    assert [line for part in read_parts(parts) for line in part] == expected
    assert leftovers(out, spill) == []


def test_a_second_sort_refuses_old_parts_unless_overwriting(client, tmp_path):
    paths = write_shards(tmp_path, [[f"{n:05d}" for n in range(3000)]])
    out = tmp_path / "out"
    assert len(tdask.sort_files(paths, out, partitions=4, client=client)) == 4
    before = {name: (out / name).read_bytes() for name in os.listdir(out)}
    with pytest.raises(FileExistsError, match="overwrite=True"):
        tdask.sort_files(paths, out, partitions=2, client=client)
    assert {name: (out / name).read_bytes() for name in os.listdir(out)} == before
    parts = tdask.sort_files(paths, out, partitions=2, client=client, overwrite=True)
    assert sorted(os.listdir(out)) == ["part-00000", "part-00001"]
    assert b"".join(open(p, "rb").read() for p in parts) == b"".join(before[n] for n in sorted(before))


class KillDuringPartition(distributed.WorkerPlugin):
    """Kills its worker's process once, while a partition task of it runs and its Sorter has
    spilled a run: what the killed attempt wrote stays behind for the cleanup to find."""

    def __init__(self, marker, spill):
        self.marker, self.spill = marker, spill

    def setup(self, worker):
        self.worker = worker

    def transition(self, key, start, finish, **kwargs):
        name = key[0] if isinstance(key, tuple) else key
        if finish == "executing" and name.startswith("tessarune-partition") and not os.path.exists(self.marker):
            threading.Thread(target=self.kill_once_spilled, args=(key,), daemon=True).start()

    def kill_once_spilled(self, key):
        def executing():
            task = self.worker.state.tasks.get(key)
            return task is not None and task.state == "executing"

        while executing() and not any(files for _, _, files in os.walk(self.spill)):
            time.sleep(0.002)
        if executing() and not os.path.exists(self.marker):
            open(self.marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)


def test_a_worker_killed_while_sorting_a_partition_leaves_nothing(tmp_path):
    shards = [[f"{random.Random(s * 7 + n).randrange(10 ** 6):07d},{s},{n}" for n in range(20000)]
              for s in range(2)]
    paths = write_shards(tmp_path, shards)
    out, spill, marker = tmp_path / "out", tmp_path / "spill", tmp_path / "killed"
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        c.register_plugin(KillDuringPartition(str(marker), str(spill)))
        # max_bytes small enough that the partitions spill many runs before they finish.
        parts = tdask.sort_files(paths, out, partitions=2, client=c, max_bytes=16 << 10, tmp_dir=spill)
    assert marker.exists(), "no worker was killed while sorting a partition"
    assert [line for part in read_parts(parts) for line in part] == sorted(line for s in shards for line in s)
    assert leftovers(out, spill) == []


def ts_key(rec):
    return (rec["ts"] is None, str(rec["ts"]))


def test_compressed_shards_with_a_key_function(client, tmp_path):
    paths = write_shards(tmp_path, [event_lines(800, s) for s in range(4)], newline_at_end=False)
    compress_shards(paths, ["gzip", "bzip2", "xz", "zstd"])
    parts = tdask.sort_files(paths, tmp_path / "out", key=ts_key, format="jsonl", reverse=True,
                             partitions=3, client=client, max_bytes=16 << 10)
    with open(tmp_path / "single", "wb") as single:
        tessarune.sort_files(paths, single, format="jsonl", key=ts_key, reverse=True)
    assert b"".join(open(p, "rb").read() for p in parts) == (tmp_path / "single").read_bytes()
    assert len(parts) > 1


def test_a_compressed_shard_is_sampled_from_its_decompressed_start(tmp_path, monkeypatch):
    monkeypatch.setattr(tdask, "_COMPRESSED_SAMPLE", 50 << 10)
    rows = [f"{n},{'x' * (n % 17)}" for n in range(20000)]
    path = tmp_path / "shard.csv.gz"
    path.write_bytes(gzip.compress(("id,pad\n" + "\n".join(rows) + "\n").encode()))
    sample = list(tdask._sample_lines(str(path), 100, random.Random(1), True, True))
    assert len(sample) == 100
    lines = {row + "\n" for row in rows}
    assert all(line.decode() in lines for line, _ in sample), "whole rows, never the header"
    # The weights stand for the whole shard decompressed, estimated from what the sample read.
    total = sum(weight for _, weight in sample)
    assert 0.5 < total / sum(len(row) + 1 for row in rows) < 2
    # Read whole: every line, weighing its own size, a last one without its newline given one.
    small = tmp_path / "small.gz"
    small.write_bytes(gzip.compress(b"b\na"))
    assert list(tdask._sample_lines(str(small), 10, random.Random(1), False, True)) == [(b"b\n", 2.0), (b"a\n", 2.0)]
