"""Nanoseconds per key of the key walk, for a million pre-made keys of each kind.

Run against a Release build of the test-only extension:

    cmake -S . -B build/testing -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARUNE_PYTHON=OFF \\
        -DTESSARUNE_TESTS=ON -DPython_EXECUTABLE=.venv/bin/python
    cmake --build build/testing --target _tessarune_keytest
    .venv/bin/python bench/key_bench.py            # or TESSARUNE_TESTING_DIR=<build dir>

The timing is done in C++ (_tessarune_keytest.time_encode): each key is encoded into one
reused buffer, as the adding path does, so no Python call is counted.
"""

import argparse
import os
import random
import string
import sys
from pathlib import Path


def import_keytest():
    root = Path(__file__).resolve().parent.parent
    testing_dir = os.environ.get("TESSARUNE_TESTING_DIR") or str(root / "build" / "testing")
    sys.path.insert(0, os.path.abspath(testing_dir))
    try:
        import _tessarune_keytest
    except ImportError as e:
        sys.exit(f"cannot import _tessarune_keytest from {testing_dir} ({e}); build it with -DTESSARUNE_TESTS=ON")
    return _tessarune_keytest


def make_keys(count, seed):
    rng = random.Random(seed)
    letters = string.ascii_letters + string.digits

    def short_str():
        return "".join(rng.choices(letters, k=16))

    def signed(bits):
        return rng.getrandbits(bits) - (1 << (bits - 1))

    # (name, keys, target in ns per key or None)
    return [
        ("int64", [signed(64) for _ in range(count)], 40),
        ("float", [rng.uniform(-1e12, 1e12) for _ in range(count)], 40),
        ("str16", [short_str() for _ in range(count)], 40),
        ("bytes16", [rng.randbytes(16) for _ in range(count)], None),
        ("(int, str)", [(signed(64), short_str()) for _ in range(count)], 80),
        ("int200", [signed(200) for _ in range(count)], None),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1_000_000, help="keys of each kind")
    parser.add_argument("--rounds", type=int, default=5, help="timed passes per kind; the best is shown")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    keytest = import_keytest()
    print(f"{'kind':<12} {'ns/key':>8}  target")
    missed = []
    for name, keys, target in make_keys(args.count, args.seed):
        keytest.time_encode(keys[:10000], 1)  # warm the buffer and the caches
        best = min(keytest.time_encode(keys, 1) for _ in range(args.rounds))
        verdict = "" if target is None else f"<= {target}  {'ok' if best <= target else 'MISSED'}"
        print(f"{name:<12} {best:8.1f}  {verdict}")
        if target is not None and best > target:
            missed.append(name)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
