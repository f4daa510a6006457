"""tessarune.dask.sort_files on 2 worker processes against one process and against DuckDB.

Writes JSON Lines shards (1 GiB in 8 shards by default, the records of bench/keyed_data.py),
then sorts them by the declarative key ``user.id,ts``, alternating the contenders for --repeat
rounds (each round in another order):

- dask: sort_files on a LocalCluster of 2 worker processes with one thread each, every
  partition's Sorter holding at most --max-bytes with its default 2 threads, buckets
  LZ4-compressed at the default acceleration (64);
- dask, LZ4 6: the same with the buckets compressed thoroughly (acceleration 6, as the run
  writer's thorough setting);
- dask, raw buckets: the same with the buckets stored uncompressed;
- one process: tessarune.sort_files in a child process with 2 threads and 2 x --max-bytes
  (the memory of both workers);
- duckdb: the same files ordered by user.id, ts in a child process, 2 threads, a memory limit
  of 2 x --max-bytes, at least 256 MB (below that it fails rather than spill).

Prints a table of the median wall and CPU time (user+sys, of every process involved) of each,
the ratios that matter (dask / one process, one process / duckdb), the median time of each dask
phase, and the bytes each phase moved. The outputs of the dask runs and of the one process must
be equal byte for byte (DuckDB writes JSON of its own making and is not compared).

With --wide, it then sorts --wide-gib in 64 shards and 16 partitions on 8 worker processes of
one thread each, and splits the wall time into the spans in which each phase's tasks ran and the
rest: the client's and the scheduler's share (submitting, waiting, moving results).

    python bench/dask_bench.py [--gib 1] [--shards 8] [--max-bytes 67108864] [--repeat 3]
                               [--dir DIR] [--wide] [--wide-gib 0.25] [--data DIR]
"""

import argparse
import hashlib
import multiprocessing
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import keyed_data  # noqa: E402

KEY = "user.id,ts"
SINGLE = """
import sys, tessarune
with open(sys.argv[1], "wb") as out:
    tessarune.sort_files(sys.argv[4:], out, format="jsonl", key="{key}", threads=2,
                         max_bytes=int(sys.argv[2]), tmp_dir=sys.argv[3])
"""
DUCKDB = """
import sys, duckdb
c = duckdb.connect()
# Below about 256 MB it runs out of memory instead of spilling.
c.execute(f"SET memory_limit='{max(256, int(sys.argv[2]) >> 20)}MB'; SET threads=2; "
          "SET enable_progress_bar=false; "
          f"SET temp_directory='{sys.argv[3]}'")
files = ", ".join(repr(p) for p in sys.argv[4:])
c.execute(f"COPY (SELECT * FROM read_json([{files}], format='newline_delimited') "
          f"ORDER BY user.id, ts) TO '{sys.argv[1]}' (FORMAT json)")
"""


def write_shard(job):
    path, shard, size = job
    keyed_data.write("jsonl", path, size, seed=shard + 1)


def write_shards(root, total, count):
    """The shards, written unless a run with the same sizes left them in root (see --data)."""
    paths = [os.path.join(root, f"shard-{count}-{total}-{i:03d}.jsonl") for i in range(count)]
    missing = [(p, i, total // count) for i, p in enumerate(paths) if not os.path.exists(p)]
    with multiprocessing.Pool(2) as pool:
        pool.map(write_shard, missing)
    return paths


def digest_of(paths):
    h = hashlib.blake2b(digest_size=16)
    for path in paths:
        with open(path, "rb") as f:
            while chunk := f.read(1 << 20):
                h.update(chunk)
    return h.hexdigest()


def cpu_seconds(times):
    return times[0] + times[1]


def run_child(script, out, max_bytes, root, paths):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run([sys.executable, "-c", script, out, str(max_bytes), root, *paths], check=True)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def run_dask(client, paths, root, max_bytes, acceleration=None, partitions=None):
    from tessarune.dask import _run_sort

    out = os.path.join(root, "dask-out")
    workers_before = client.run(os.times)
    self_before = os.times()
    started = time.perf_counter()
    options = {} if acceleration is None else {"acceleration": acceleration}
    report = _run_sort(paths, out, key=KEY, format="jsonl", client=client, max_bytes=max_bytes,
                       tmp_dir=root, partitions=partitions, **options)
    wall = time.perf_counter() - started
    self_after = os.times()
    workers_after = client.run(os.times)
    # The scheduler runs in this process with a LocalCluster, so its CPU is counted here.
    cpu = cpu_seconds(self_after) - cpu_seconds(self_before)
    cpu += sum(cpu_seconds(workers_after[w]) - cpu_seconds(workers_before[w]) for w in workers_after)
    digest = digest_of(report.parts)
    shutil.rmtree(out)
    return wall, cpu, digest, report


def race(args, paths, root):
    from distributed import Client, LocalCluster

    accelerations = {"dask": None, "dask, LZ4 6": 6, "dask, raw buckets": 0}
    names = [*accelerations, "one process", "duckdb"]
    results = {name: [] for name in names}
    reports = {name: [] for name in accelerations}
    have_duckdb = True
    try:
        import duckdb  # noqa: F401
    except ImportError:
        have_duckdb = False
        names.remove("duckdb")
        print("duckdb is not installed: its row is left out")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        for round_no in range(args.repeat):
            order = names[round_no % len(names):] + names[:round_no % len(names)]
            digests = {}
            for name in order:
                if name in accelerations:
                    wall, cpu, digests[name], report = run_dask(client, paths, root,
                                                                args.max_bytes, accelerations[name])
                    reports[name].append(report)
                else:
                    out = os.path.join(root, "child.out")
                    script = SINGLE.format(key=KEY) if name == "one process" else DUCKDB
                    wall, cpu = run_child(script, out, 2 * args.max_bytes, root, paths)
                    if name == "one process":
                        digests[name] = digest_of([out])
                    os.remove(out)
                results[name].append((wall, cpu))
                print(f"round {round_no + 1}: {name:18s} wall {wall:7.1f} s  cpu {cpu:7.1f} s",
                      flush=True)
            if len(set(digests.values())) != 1:
                raise AssertionError(f"the outputs differ: {digests}")

    wall = {name: statistics.median(w for w, _ in runs) for name, runs in results.items()}
    print(f"\n| {args.gib:g} GiB JSON Lines, {args.shards} shards, key {KEY}, median of "
          f"{args.repeat} | wall s | cpu s |")
    print("|---|---|---|")
    for name, runs in results.items():
        print(f"| {name} | {wall[name]:.1f} | {statistics.median(c for _, c in runs):.1f} |")
    print(f"\ndask / one process (wall): {wall['dask'] / wall['one process']:.2f} (target <= 1.15)")
    if have_duckdb:
        print(f"one process / duckdb (wall): {wall['one process'] / wall['duckdb']:.2f} "
              f"(target <= 0.5)")
    print("\n| dask phase, median | " + " | ".join(accelerations) + " |")
    print("|---|" + "---|" * len(accelerations))
    for phase in ("sample", "bucket", "partition"):
        print(f"| {phase} s | " + " | ".join(
            f"{statistics.median(r.phase_seconds[phase] for r in reports[name]):.1f}"
            for name in accelerations) + " |")
    r = reports["dask"][-1]
    print(f"\nbytes moved by the dask sort ({len(r.parts)} parts):")
    print(f"  shards read by the bucket tasks:            {r.input_bytes / 2**20:10.1f} MiB")
    print(f"  sample, sample tasks -> boundaries task:    {r.sample_bytes / 2**10:10.1f} KiB "
          f"({r.sample_items} keys)")
    for name in accelerations:
        b = reports[name][-1]
        print(f"  buckets ({name}):{' ' * (26 - len(name))}{b.bucket_bytes / 2**20:10.1f} MiB "
              f"({b.bucket_bytes / b.input_bytes:.2f} x the input; target <= 1.1)")
    print(f"  parts written by the partition tasks:       {r.output_bytes / 2**20:10.1f} MiB")


def phase_of(key):
    name = key[0] if isinstance(key, tuple) else key
    return name.split("-")[1]


def wide(args, root):
    """64 shards, 16 partitions, 8 workers: where the wall time goes."""
    from distributed import Client, LocalCluster, get_task_stream

    paths = write_shards(args.data or root, int(args.wide_gib * (1 << 30)), 64)
    with LocalCluster(n_workers=8, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        run_dask(client, paths, root, args.max_bytes, partitions=16)  # warm the workers
        with get_task_stream(client) as stream:
            wall, cpu, _, report = run_dask(client, paths, root, args.max_bytes, partitions=16)
    spans = {}
    busy = {}
    tasks = {}
    for task in stream.data:
        phase = phase_of(task["key"])
        for ss in task["startstops"]:
            if ss["action"] != "compute":
                continue
            lo, hi = spans.get(phase, (ss["start"], ss["stop"]))
            spans[phase] = (min(lo, ss["start"]), max(hi, ss["stop"]))
            busy[phase] = busy.get(phase, 0.0) + ss["stop"] - ss["start"]
            tasks[phase] = tasks.get(phase, 0) + 1
    print(f"\n{report.input_bytes / 2**20:.0f} MiB in 64 shards, 16 partitions, 8 worker processes of 1 thread "
          f"(on {os.cpu_count()} cores): wall {wall:.1f} s, cpu {cpu:.1f} s")
    print("| phase | tasks | span s | task seconds |")
    print("|---|---|---|---|")
    for phase in ("prepare", "sample", "boundaries", "bucket", "partition", "release", "publish",
                  "cleanup"):
        if phase in spans:
            lo, hi = spans[phase]
            print(f"| {phase} | {tasks[phase]} | {hi - lo:.2f} | {busy[phase]:.2f} |")
    # The release tasks run within the partition phase's span: count covered time once.
    in_spans, reached = 0.0, float("-inf")
    for lo, hi in sorted(spans.values()):
        in_spans += max(0.0, hi - max(lo, reached))
        reached = max(reached, hi)
    print(f"| outside every phase's span (client and scheduler) | | {wall - in_spans:.2f} "
          f"({(wall - in_spans) / wall:.0%} of the wall time) | |")
    print(f"buckets {report.bucket_bytes / 2**20:.1f} MiB for {report.input_bytes / 2**20:.1f} MiB "
          f"of input ({64 * 16} bucket files at most)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gib", type=float, default=1.0)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--max-bytes", type=int, default=64 << 20)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir")
    parser.add_argument("--wide", action="store_true")
    parser.add_argument("--wide-gib", type=float, default=0.25)
    parser.add_argument("--data", help="keep the shards in DATA and use them again")
    args = parser.parse_args()

    root = tempfile.mkdtemp(prefix="tessarune-dask-bench-", dir=args.dir)
    try:
        started = time.perf_counter()
        paths = write_shards(args.data or root, int(args.gib * (1 << 30)), args.shards)
        total = sum(os.path.getsize(p) for p in paths)
        print(f"input: {total / 2**20:.0f} MiB of JSON Lines in {args.shards} shards "
              f"(written in {time.perf_counter() - started:.1f} s)")
        if args.repeat:
            race(args, paths, root)
        if args.wide:
            wide(args, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
