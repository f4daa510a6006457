"""tessarune.dask.sort_files on worker processes, against a stable sort in one process."""

import importlib
import json
import os
import random
import subprocess
import sys

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
                         client=client)
    assert f"in shard {paths[1]}, line 6" in info.value.__notes__
    assert os.listdir(out) == ["keep.txt"], "no part is published and no bucket is left"


def test_bad_json_names_its_line(client, tmp_path):
    paths = write_shards(tmp_path, [['{"k": 1}', "", '{"k": 2', '{"k": 3}']])
    with pytest.raises(json.JSONDecodeError) as info:
        tdask.sort_files(paths, tmp_path / "out", key=key_k, format="jsonl", client=client)
    assert f"in shard {paths[0]}, line 3" in info.value.__notes__


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
