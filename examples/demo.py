"""Sorts several times more records than the sorter may hold in memory, and checks the result.

Generates (word, number) records, adds them to a Sorter whose max_bytes is a small fraction of
what they take, so that most of them are spilled to disk in sorted runs, then reads them back
merged and checks that they come out in order and that none was lost, changed or duplicated.

    python examples/demo.py [--items N] [--max-bytes BYTES] [--threads T]
"""

import argparse
import glob
import os
import random
import sys
import tempfile
import time
import zlib

from tessarune import Sorter

SYLLABLES = ["ka", "lo", "mi", "ne", "ru", "sa", "ti", "vo", "zen", "qua", "bri", "sto", "el", "un"]


class RecordCodec:
    """Encodes a record as "word number" in UTF-8 and counts the bytes it produced."""

    def __init__(self):
        self.bytes_encoded = 0

    def encode(self, record):
        data = f"{record[0]} {record[1]}".encode()
        self.bytes_encoded += len(data)
        return data

    def decode(self, data):
        word, number = data.decode().split(" ")
        return word, int(number)


def make_words(rng, count):
    return ["".join(rng.choice(SYLLABLES) for _ in range(rng.randrange(2, 6))) for _ in range(count)]


def fingerprint(word, number):
    return zlib.crc32(word.encode(), number & 0xFFFFFFFF)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--items", type=int, default=2_500_000)
    parser.add_argument("--max-bytes", type=int, default=16 << 20)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = random.randrange(1 << 32) if args.seed is None else args.seed
    rng = random.Random(seed)
    words = make_words(rng, 50_000)

    with tempfile.TemporaryDirectory(prefix="demo-") as tmp_dir:
        codec = RecordCodec()
        count = 0
        total = 0
        runs_seen = 0
        started = time.perf_counter()
        with Sorter(codec=codec, max_bytes=args.max_bytes, threads=args.threads, tmp_dir=tmp_dir) as sorter:
            for i in range(args.items):
                record = (rng.choice(words), rng.randrange(-10**9, 10**9))
                sorter.add(record)
                count += 1
                total += fingerprint(*record)
                if i % 100_000 == 0:
                    runs_seen = max(runs_seen, len(glob.glob(os.path.join(tmp_dir, "tessarune-*", "run-*"))))
            runs_seen = max(runs_seen, len(glob.glob(os.path.join(tmp_dir, "tessarune-*", "run-*"))))
            added = time.perf_counter()

            out_count = 0
            out_total = 0
            previous = None
            in_order = True
            for record in sorter.sort():
                if previous is not None and record < previous:
                    in_order = False
                previous = record
                out_count += 1
                out_total += fingerprint(*record)
            finished = time.perf_counter()
            left_behind = glob.glob(os.path.join(tmp_dir, "tessarune-*"))

    add_time = added - started
    read_time = finished - added
    print(f"items:           {count:,}")
    print(f"bytes added:     {codec.bytes_encoded:,} encoded ({codec.bytes_encoded / (1 << 20):.1f} MiB), "
          f"max_bytes {args.max_bytes:,} ({args.max_bytes / (1 << 20):.0f} MiB), threads {args.threads}")
    print(f"runs spilled:    {runs_seen}")
    print(f"making+adding:   {add_time:.2f} s ({count / add_time:,.0f} items/s)")
    print(f"sorting+reading: {read_time:.2f} s ({count / read_time:,.0f} items/s)")
    print(f"total:           {add_time + read_time:.2f} s ({count / (add_time + read_time):,.0f} items/s)")
    ok = in_order and out_count == count and out_total == total and not left_behind and runs_seen >= 1
    checks = [
        ("in order", in_order),
        (f"{out_count:,} items out of {count:,}", out_count == count),
        ("fingerprints match", out_total == total),
        ("data was spilled", runs_seen >= 1),
        ("spill directory removed", not left_behind),
    ]
    for text, passed in checks:
        print(f"  {'ok  ' if passed else 'FAIL'} {text}")
    print("result:          " + ("OK" if ok else f"FAILED (seed {seed})"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
