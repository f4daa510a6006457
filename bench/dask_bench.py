"""tessarune.dask.sort_files on 2 worker processes against one process sorting through a Sorter.

Writes JSON Lines shards (1 GiB in 8 shards by default), then sorts them by (city, -score,
user), alternating the two contenders for --repeat rounds:

- dask: sort_files on a LocalCluster of 2 worker processes with one thread each, every
  partition's Sorter holding at most --max-bytes;
- one process: a child process reads every shard in order, decodes each line, and adds the
  line under its key to one Sorter holding at most 2 x --max-bytes (the memory of both
  workers), then write_to's the output.

Prints the median wall time and CPU time (user+sys, of every process involved) of each, the
median time of each dask phase, and the bytes each phase moved: what the sample sent to the
boundaries task through Dask, what the buckets held on the shared disk between the bucket and
partition phases, and what the parts hold. Both outputs must be equal byte for byte.

    python bench/dask_bench.py [--gib 1] [--shards 8] [--max-bytes 67108864] [--repeat 3] [--dir DIR]
"""

import argparse
import hashlib
import json
import multiprocessing
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CITIES = ["Aarhus", "Bergen", "Cork", "Delft", "Espoo", "Faro", "Gdansk", "Hull", "Izmir", "Jena"]


def record_key(rec):
    return (rec["city"], -rec["score"], rec["user"])


def write_shard(job):
    path, shard, size = job
    rng = random.Random(shard)
    written = 0
    with open(path, "wb") as out:
        while written < size:
            lines = []
            for _ in range(1000):
                rec = {"user": rng.randrange(10**9), "city": rng.choice(CITIES),
                       "score": rng.randrange(100), "shard": shard,
                       "note": "x" * rng.randrange(60)}
                lines.append(json.dumps(rec))
            block = ("\n".join(lines) + "\n").encode()
            out.write(block)
            written += len(block)


def child_single(out, max_bytes, *paths):
    from tessarune import Sorter

    with Sorter(max_bytes=int(max_bytes), tmp_dir=os.path.dirname(out)) as sorter:
        add = sorter.add_encoded
        loads = json.loads
        for path in paths:
            with open(path, "rb") as f:
                for line in f:
                    add(record_key(loads(line.decode())), line)
        with open(out, "wb") as f:
            sorter.write_to(f)


def digest_of(paths):
    h = hashlib.blake2b(digest_size=16)
    for path in paths:
        with open(path, "rb") as f:
            while chunk := f.read(1 << 20):
                h.update(chunk)
    return h.hexdigest()


def cpu_seconds(times):
    return times[0] + times[1]


def run_single(paths, root, max_bytes):
    out = os.path.join(root, "single.out")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run([sys.executable, __file__, "--child-single", out, str(max_bytes), *paths],
                   check=True)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    digest = digest_of([out])
    os.remove(out)
    return wall, cpu, digest


def run_dask(client, paths, root, max_bytes):
    from tessarune.dask import _run_sort

    out = os.path.join(root, "dask-out")
    workers_before = client.run(os.times)
    self_before = os.times()
    started = time.perf_counter()
    report = _run_sort(paths, out, key=record_key, format="jsonl", client=client,
                       max_bytes=max_bytes, tmp_dir=root)
    wall = time.perf_counter() - started
    self_after = os.times()
    workers_after = client.run(os.times)
    # The scheduler runs in this process with a LocalCluster, so its CPU is counted here.
    cpu = cpu_seconds(self_after) - cpu_seconds(self_before)
    cpu += sum(cpu_seconds(workers_after[w]) - cpu_seconds(workers_before[w]) for w in workers_after)
    digest = digest_of(report.parts)
    shutil.rmtree(out)
    return wall, cpu, digest, report


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child-single":
        child_single(*sys.argv[2:])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gib", type=float, default=1.0)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--max-bytes", type=int, default=64 << 20)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    root = tempfile.mkdtemp(prefix="tessarune-dask-bench-", dir=args.dir)
    try:
        size = int(args.gib * (1 << 30)) // args.shards
        paths = [os.path.join(root, f"shard-{i:02d}.jsonl") for i in range(args.shards)]
        started = time.perf_counter()
        with multiprocessing.Pool(2) as pool:
            pool.map(write_shard, [(p, i, size) for i, p in enumerate(paths)])
        total = sum(os.path.getsize(p) for p in paths)
        print(f"input: {total / 2**20:.0f} MiB of JSON Lines in {args.shards} shards "
              f"(written in {time.perf_counter() - started:.1f} s)")

        results = {"dask": [], "one process": []}
        reports = []
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            for round_no in range(args.repeat):
                order = ["dask", "one process"] if round_no % 2 == 0 else ["one process", "dask"]
                digests = {}
                for name in order:
                    if name == "dask":
                        wall, cpu, digests[name], report = run_dask(client, paths, root, args.max_bytes)
                        reports.append(report)
                    else:
                        wall, cpu, digests[name] = run_single(paths, root, 2 * args.max_bytes)
                    results[name].append((wall, cpu))
                    print(f"round {round_no + 1}: {name:12s} wall {wall:7.1f} s  cpu {cpu:7.1f} s",
                          flush=True)
                if digests["dask"] != digests["one process"]:
                    raise AssertionError("the two outputs differ")

        print(f"\nmedians of {args.repeat} rounds (max_bytes {args.max_bytes >> 20} MiB per dask "
              f"partition, {2 * args.max_bytes >> 20} MiB for the one process):")
        for name, runs in results.items():
            print(f"  {name:12s} wall {statistics.median(w for w, _ in runs):7.1f} s  "
                  f"cpu (user+sys) {statistics.median(c for _, c in runs):7.1f} s")
        for phase in ("sample", "bucket", "partition"):
            print(f"  dask phase {phase:10s} wall "
                  f"{statistics.median(r.phase_seconds[phase] for r in reports):7.1f} s")
        r = reports[-1]
        print(f"bytes moved by the dask sort ({len(r.parts)} parts):")
        print(f"  read by the bucket tasks (the shards):       {r.input_bytes / 2**20:10.1f} MiB")
        print(f"  sample, sample tasks -> boundaries task:     {r.sample_bytes / 2**10:10.1f} KiB "
              f"({r.sample_items} keys)")
        print(f"  buckets, bucket -> partition tasks (disk):   {r.bucket_bytes / 2**20:10.1f} MiB")
        print(f"  parts written by the partition tasks:        {r.output_bytes / 2**20:10.1f} MiB")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
