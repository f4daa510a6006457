"""Nanoseconds per record of the C++ JSON Lines key reader, on event records of about 170 bytes.

Run against a Release build of the test-only extension (see bench/key_bench.py for the build):

    .venv/bin/python bench/json_key_bench.py            # or TESSARUNE_TESTING_DIR=<build dir>

The timing is done in C++ (_tessarune_keytest.time_json_keys): one reader keys every line into
one reused buffer, as the adding path does. When the tessarune package imports, the Python
keying it stands in for (json.loads, JsonKey, key_bytes) is timed too, for comparison.
"""

import argparse
import json
import os
import random
import sys
import time

from key_bench import import_keytest


def make_records(count, seed):
    rng = random.Random(seed)
    words = ["alpha", "fox", "beta", "gamma", "delta", "quick", "brown", "lazy", "dog"]
    lines = []
    for _ in range(count):
        record = {
            "user": {"id": rng.randrange(1_000_000), "country": rng.choice(["NG", "US", "DE", "FR", "JP"])},
            "ts": f"2026-03-{rng.randrange(1, 29):02d}T{rng.randrange(24):02d}:{rng.randrange(60):02d}:"
                  f"{rng.randrange(60):02d}.{rng.randrange(1000):03d}Z",
            "event": rng.choice(["login", "logout", "view", "click", "purchase"]),
            "amount": round(rng.uniform(0, 1000), 2),
            "tags": rng.sample(["beta", "new", "vip", "mobile"], rng.randrange(3)),
            "note": " ".join(rng.choices(words, k=2)),
        }
        lines.append(json.dumps(record).encode())
    return lines


def python_ns_per_record(paths, lines):
    try:
        import tessarune
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
        from reference_formats import JsonKey
    except ImportError:
        return None
    keyer = JsonKey(paths)
    start = time.perf_counter_ns()
    for line in lines:
        tessarune.key_bytes(keyer(json.loads(line)))
    return (time.perf_counter_ns() - start) / len(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=200_000, help="records")
    parser.add_argument("--rounds", type=int, default=5, help="timed passes; the best is shown")
    parser.add_argument("--paths", default="user.id,ts", help="comma-separated dotted paths")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    keytest = import_keytest()
    paths = args.paths.split(",") if args.paths else []
    lines = make_records(args.count, args.seed)
    size = sum(map(len, lines)) / len(lines)
    keytest.time_json_keys(paths, lines[:10000], 1)  # grow the buffers, warm the caches
    best = min(keytest.time_json_keys(paths, lines, 1) for _ in range(args.rounds))
    print(f"{len(lines)} records of {size:.0f} bytes on average, key {args.paths or '(whole value)'}")
    print(f"C++ reader   {best:8.1f} ns/record")
    reference = python_ns_per_record(paths, lines)
    if reference is not None:
        print(f"Python keying {reference:7.1f} ns/record")
    return 0


if __name__ == "__main__":
    sys.exit(main())
