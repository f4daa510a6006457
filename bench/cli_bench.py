"""The tessarune command against the C-locale sort command on the same files.

Makes two inputs, random lines and log lines (256 MiB each by default), and sorts each with
`tessarune -S 32M --threads 2` and `LC_ALL=C sort -S 32M --parallel=2`, alternating the two,
checks that both outputs are identical, and prints the median wall and CPU (user + sys)
time of each and the ratio tessarune / sort.

    .venv/bin/python bench/cli_bench.py [--mib 256] [--rounds 3] [--dir DIR]
"""

import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def write_random_lines(path, size):
    rnd = random.Random(1)
    alphabet = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 "
    with open(path, "wb") as f:
        written = 0
        while written < size:
            block = b"\n".join(
                bytes(rnd.choices(alphabet, k=rnd.randint(8, 120))) for _ in range(10000)) + b"\n"
            f.write(block)
            written += len(block)


def write_log_lines(path, size):
    rnd = random.Random(2)
    levels = ["INFO", "INFO", "INFO", "WARN", "ERROR", "DEBUG"]
    paths = ["/api/users", "/api/orders", "/static/app.js", "/login", "/api/items/%d"]
    with open(path, "wb") as f:
        written = 0
        t = 1_700_000_000.0
        while written < size:
            lines = []
            for _ in range(10000):
                t += rnd.random() * 0.01
                stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + f".{int(t * 1000) % 1000:03d}Z"
                p = rnd.choice(paths)
                if "%d" in p:
                    p %= rnd.randint(1, 99999)
                lines.append(f"{stamp} host-{rnd.randint(1, 40):02d} {rnd.choice(levels)} "
                             f"GET {p} {rnd.choice([200, 200, 200, 304, 404, 500])} "
                             f"{rnd.randint(1, 5000)}ms req={rnd.getrandbits(64):016x}")
            # Shuffle within the block: logs from several hosts arrive nearly, not fully, sorted.
            rnd.shuffle(lines)
            block = ("\n".join(lines) + "\n").encode()
            f.write(block)
            written += len(block)


def timed(cmd, env=None):
    """Wall seconds and CPU seconds (user + sys) of one run of cmd."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd, check=True, env=env)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def same_files(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()

    tessarune = [sys.executable, "-m", "tessarune"]
    sort = shutil.which("sort")
    if sort is None:
        sys.exit("needs the sort command")
    work = tempfile.mkdtemp(prefix="cli-bench-", dir=args.dir)
    try:
        for name, make in [("random lines", write_random_lines), ("log lines", write_log_lines)]:
            src = os.path.join(work, "input")
            make(src, args.mib << 20)
            ours, theirs = os.path.join(work, "ours"), os.path.join(work, "theirs")
            cmd_ours = tessarune + ["-S", "32M", "--threads", "2", "-T", work, "-o", ours, src]
            cmd_theirs = [sort, "-S", "32M", "--parallel=2", "-T", work, "-o", theirs, src]
            env_c = dict(os.environ, LC_ALL="C")
            runs = {"tessarune": [], "sort": []}
            for _ in range(args.rounds):  # alternate, so both see the same machine
                # Each run writes a new file: an output left by the round before would be
                # overwritten in place by one command but replaced (and freed) by the other.
                for p in (ours, theirs):
                    if os.path.exists(p):
                        os.unlink(p)
                # What the run before left to write back goes to disk first, not during a run.
                os.sync()
                runs["tessarune"].append(timed(cmd_ours))
                os.sync()
                runs["sort"].append(timed(cmd_theirs, env_c))
            identical = same_files(ours, theirs)
            med = {k: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v))
                   for k, v in runs.items()}
            print(f"{name}, {args.mib} MiB, median of {args.rounds}:")
            for k, (wall, cpu) in med.items():
                print(f"  {k:10s} wall {wall:7.2f} s   cpu {cpu:7.2f} s")
            print(f"  ratio tessarune/sort: wall {med['tessarune'][0] / med['sort'][0]:.2f}x, "
                  f"cpu {med['tessarune'][1] / med['sort'][1]:.2f}x; outputs identical: {identical}")
            for p in (src, ours, theirs):
                os.unlink(p)
            if not identical:
                sys.exit(1)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
