"""Sorts a few hundred MiB of JSON Lines across two Dask worker processes, and checks the result.

Starts a LocalCluster of 2 worker processes, has the workers write the shards (records with a
user id, a city and a score, with many ties), sorts them by (city, -score) with tessarune.dask
under a small max_bytes, so that every partition spills to disk and merges, and checks the
parts, also on the workers: every record is there once, in key order, and records with equal
keys keep the order of their shards, then of their lines.

    python examples/dask_demo.py [--mib 256] [--shards 8] [--max-bytes 16777216] [--dir DIR]
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import sys
import tempfile
import time

from distributed import Client, LocalCluster

import tessarune
from tessarune.dask import sort_files

CITIES = ["Aarhus", "Bergen", "Cork", "Delft", "Espoo", "Faro", "Gdansk", "Hull", "Izmir", "Jena"]


def record_key(rec):
    return (rec["city"], -rec["score"])


def line_digest(line):
    return int.from_bytes(hashlib.blake2b(line, digest_size=8).digest(), "little")


def write_shard(path, shard, size):
    """Writes about `size` bytes of records; returns (records, sum of line digests)."""
    rng = random.Random(shard)
    count = digest = written = 0
    with open(path, "wb") as out:
        while written < size:
            rec = {"user": rng.randrange(10**9), "city": rng.choice(CITIES),
                   "score": rng.randrange(100), "shard": shard, "line": count,
                   "note": "x" * rng.randrange(40)}
            line = (json.dumps(rec) + "\n").encode()
            out.write(line)
            written += len(line)
            digest = (digest + line_digest(line)) & (2**64 - 1)
            count += 1
    return count, digest


def check_part(path):
    """Checks one part's order and stability; returns its first and last (key bytes, position),
    its record count and the sum of its line digests."""
    first = last = None
    count = digest = 0
    with open(path, "rb") as f:
        for line in f:
            rec = json.loads(line)
            here = (tessarune.key_bytes(record_key(rec)), (rec["shard"], rec["line"]))
            if last is not None and here <= last:
                raise AssertionError(f"{path}: {line!r} is out of order")
            first = first or here
            last = here
            count += 1
            digest = (digest + line_digest(line)) & (2**64 - 1)
    return first, last, count, digest


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=256, help="total size of the shards")
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--max-bytes", type=int, default=16 << 20, help="each partition's Sorter budget")
    parser.add_argument("--dir", help="where to write (a temporary directory if not given)")
    args = parser.parse_args()

    root = tempfile.mkdtemp(prefix="tessarune-dask-demo-", dir=args.dir)
    try:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            paths = [os.path.join(root, f"shard-{i:02d}.jsonl") for i in range(args.shards)]
            size = (args.mib << 20) // args.shards
            started = time.monotonic()
            made = client.gather(client.map(write_shard, paths, range(args.shards), [size] * args.shards))
            records = sum(c for c, _ in made)
            digest = sum(d for _, d in made) & (2**64 - 1)
            print(f"wrote {args.mib} MiB, {records} records, in {args.shards} shards "
                  f"({time.monotonic() - started:.1f} s)")

            started = time.monotonic()
            parts = sort_files(paths, os.path.join(root, "sorted"), key=record_key, format="jsonl",
                               client=client, max_bytes=args.max_bytes)
            print(f"sorted into {len(parts)} parts with max_bytes={args.max_bytes} "
                  f"({time.monotonic() - started:.1f} s)")

            started = time.monotonic()
            checked = client.gather(client.map(check_part, parts))
            previous = None
            for path, (first, last, _, _) in zip(parts, checked):
                if first is None:
                    continue
                if previous is not None and first <= previous:
                    raise AssertionError(f"{path} starts before the part ahead of it ends")
                previous = last
            got_records = sum(c for _, _, c, _ in checked)
            got_digest = sum(d for _, _, _, d in checked) & (2**64 - 1)
            if (got_records, got_digest) != (records, digest):
                raise AssertionError(f"{got_records} records came out of {records}, or some changed")
            print(f"checked: {records} records, in order, equal keys in input order "
                  f"({time.monotonic() - started:.1f} s)")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
