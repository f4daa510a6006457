"""Keys of datetimes and Decimals: Sorter against sorted(), both from Python.

2 million dict records {"id", "ts", "amount"}, keyed by (ts, amount): ts an aware datetime in
UTC (--naive: naive) within one year, amount a Decimal with two places. sorted(records, key=...)
is timed against Sorter(key=..., max_bytes=64 MiB, threads=2).sort(records), each iterated to
its end, each in a child process of its own that first builds the same records (not timed).
The Sorter runs twice: with its default codec, pickle, whose dumps and loads of a dict holding
a datetime and a Decimal cost several times what sorted() spends on a record, and with a codec
of the records' own fields (struct-packed id and microseconds, the Decimal's text), which
leaves the keys and the engine to be measured. The contenders alternate round by round (who
goes first too); the medians of wall and CPU time (user + sys of every thread) are reported,
with each Sorter's ratio to sorted(). The order of the ids must be the same in all. Target: the
Sorter at most 2.0x sorted()'s wall time.

    .venv/bin/python bench/python_keys_bench.py [--count 2000000] [--rounds 3] [--naive]
"""

import argparse
import datetime as dt
import hashlib
import json
import os
import random
import statistics
import struct
import subprocess
import sys
import time
from decimal import Decimal

TARGET = 2.0
NAMES = ["sorted", "Sorter", "Sorter+codec"]
LABELS = {"sorted": "sorted(records, key=...)", "Sorter": "Sorter, pickle",
          "Sorter+codec": "Sorter, the records' codec"}
MAX_BYTES = 64 << 20
THREADS = 2


def make_records(count, naive, seed=7):
    rng = random.Random(seed)
    start = dt.datetime(2024, 1, 1) if naive else dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
    year = 366 * 86400
    # Timestamps to the second, so that some tie and the amounts decide.
    return [{"id": i, "ts": start + dt.timedelta(seconds=rng.randrange(year)),
             "amount": Decimal(rng.randrange(-10**7, 10**7)).scaleb(-2)} for i in range(count)]


def key(record):
    return record["ts"], record["amount"]


class RecordCodec:
    """A record as its id and microseconds since the epoch, packed, then its amount's text."""

    head = struct.Struct("<qq")

    def __init__(self, naive):
        self.epoch = dt.datetime(1970, 1, 1) if naive else dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
        self.micro = dt.timedelta(microseconds=1)

    def encode(self, r):
        return self.head.pack(r["id"], (r["ts"] - self.epoch) // self.micro) + str(r["amount"]).encode()

    def decode(self, data):
        i, micros = self.head.unpack_from(data)
        return {"id": i, "ts": self.epoch + dt.timedelta(microseconds=micros), "amount": Decimal(data[16:].decode())}


def child(contender, count, naive):
    records = make_records(count, naive)
    digest = hashlib.blake2b(digest_size=16)
    wall, cpu = time.perf_counter(), time.process_time()
    if contender == "sorted":
        for r in sorted(records, key=key):
            digest.update(r["id"].to_bytes(4, "little"))
    else:
        from tessarune import Sorter
        codec = RecordCodec(naive) if contender == "Sorter+codec" else None
        with Sorter(key=key, codec=codec, max_bytes=MAX_BYTES, threads=THREADS) as s:
            for r in s.sort(records):
                digest.update(r["id"].to_bytes(4, "little"))
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(json.dumps({"wall": wall, "cpu": cpu, "order": digest.hexdigest()}))


def run(contender, count, naive):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", contender, "--count", str(count)]
    if naive:
        cmd.append("--naive")
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=2_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--naive", action="store_true")
    parser.add_argument("--child", choices=NAMES)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.count, args.naive)
        return

    names = NAMES
    runs = {name: [] for name in names}
    for r in range(args.rounds):
        for name in names if r % 2 == 0 else list(reversed(names)):
            runs[name].append(run(name, args.count, args.naive))
            print(f"round {r + 1} {name}: {runs[name][-1]['wall']:.2f} s wall", file=sys.stderr)
    orders = {run_["order"] for name in names for run_ in runs[name]}
    kind = "naive" if args.naive else "aware"
    print(f"{args.count} dict records keyed by ({kind} datetime, Decimal), {args.rounds} rounds, medians")
    print(f"Sorter: max_bytes={MAX_BYTES >> 20} MiB, threads={THREADS}")
    print(f"{'contender':<28} {'wall s':>8} {'cpu s':>8} {'wall ratio':>11}  target <= {TARGET}x")
    base = statistics.median(x["wall"] for x in runs["sorted"])
    for name in names:
        wall = statistics.median(x["wall"] for x in runs[name])
        cpu = statistics.median(x["cpu"] for x in runs[name])
        ratio = wall / base
        verdict = "" if name == "sorted" else ("met" if ratio <= TARGET else "MISSED")
        print(f"{LABELS[name]:<28} {wall:8.2f} {cpu:8.2f} {ratio:10.2f}x  {verdict}")
    print(f"same order: {len(orders) == 1}")
    sys.exit(0 if len(orders) == 1 else 1)


if __name__ == "__main__":
    main()
