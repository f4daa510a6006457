"""The ordering options that compare by reading the key (-h, -V, -g) and the merge of sorted
files (-m), against the C-locale sort command on the same files in the same run.

Each round runs both commands once, in turn; the table gives the median wall and CPU seconds
and tessarune's wall time as a share of the sort command's. Outputs must be byte-identical.

    .venv/bin/python bench/traditional_bench.py [--mib 256] [--rounds 3] [--dir DIR] [--only h,V,g,m]
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

THREADS = 2
MERGE_FILES = 8


def human_line(rng):
    size = f"{rng.randrange(1, 1000)}{rng.choice(['', '.5', '.25'])}{rng.choice('KMGT ')}".strip()
    return f"{size}\t/srv/data/{rng.randrange(10**6):06d}/part-{rng.randrange(100)}.bin\n"


def version_line(rng):
    parts = ".".join(str(rng.randrange(0, 30)) for _ in range(rng.randint(2, 4)))
    suffix = rng.choice(["", "", "~rc1", "-beta2", "+git20240101", ".tar.gz"])
    return f"pkg-{rng.choice(['core', 'util', 'net', 'ui'])}-{parts}{suffix} {rng.randrange(10**9)}\n"


def float_line(rng):
    value = rng.choice([f"{rng.uniform(-1e6, 1e6):.6f}", f"{rng.lognormvariate(0, 8):.4e}",
                        str(rng.randrange(-10**9, 10**9))])
    return f"{value}\tsample-{rng.randrange(10**6)}\n"


KEYED = {"h": (human_line, ["-h", "-k1,1"]), "V": (version_line, ["-V", "-k1,1"]),
         "g": (float_line, ["-g", "-k1,1"])}


def write_lines(path, make, mib, seed):
    rng = random.Random(seed)
    target = mib << 20
    with open(path, "w") as f:
        written = 0
        while written < target:
            chunk = "".join(make(rng) for _ in range(10000))
            f.write(chunk)
            written += len(chunk)


def run_once(cmd):
    """Wall and CPU seconds of one run of cmd, from its own rusage."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env={**os.environ, "LC_ALL": "C"})
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{cmd[0]} failed with status {status}")
    return wall, usage.ru_utime + usage.ru_stime


def race(title, commands, rounds, outputs):
    """commands: {"tessarune": argv, "sort": argv}, writing outputs[0] and outputs[1]."""
    times = {name: [] for name in commands}
    for _ in range(rounds):
        for (name, cmd), out in zip(commands.items(), outputs):
            if os.path.exists(out):  # no run pays for freeing the pages of an earlier output
                os.remove(out)
            times[name].append(run_once(cmd))
    with open(outputs[0], "rb") as a, open(outputs[1], "rb") as b:
        while True:
            x, y = a.read(1 << 20), b.read(1 << 20)
            if x != y:
                sys.exit(f"{title}: the outputs differ")
            if not x:
                break
    walls = {name: statistics.median(w for w, _ in t) for name, t in times.items()}
    cpus = {name: statistics.median(c for _, c in t) for name, t in times.items()}
    ours, theirs = walls["tessarune"], walls["sort"]
    print(f"{title:<28} tessarune {ours:6.2f} s (cpu {cpus['tessarune']:6.2f})   "
          f"sort {theirs:6.2f} s (cpu {cpus['sort']:6.2f})   share {ours / theirs:.2f}", flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir")
    ap.add_argument("--only", default="h,V,g,m")
    args = ap.parse_args()
    only = args.only.split(",")
    work = tempfile.mkdtemp(prefix="traditional-bench-", dir=args.dir)
    ours_cmd = [sys.executable, "-m", "tessarune", "-s", "--threads", str(THREADS), "-S", "1G", "-T", work]
    sort_cmd = ["sort", "-s", f"--parallel={THREADS}", "-S", "1G", "-T", work]
    try:
        for letter, (make, options) in KEYED.items():
            if letter not in only:
                continue
            src = os.path.join(work, f"{letter}.txt")
            write_lines(src, make, args.mib, seed=ord(letter))
            outs = [os.path.join(work, f"{letter}.{n}") for n in ("ours", "sort")]
            race(f"-{letter} keys, {args.mib} MiB", {
                "tessarune": ours_cmd + options + ["-o", outs[0], src],
                "sort": sort_cmd + options + ["-o", outs[1], src]}, args.rounds, outs)
            os.remove(src)
        if "m" in only:
            parts = []
            for i in range(MERGE_FILES):
                part = os.path.join(work, f"part{i}")
                write_lines(part, version_line, args.mib // MERGE_FILES, seed=i)
                subprocess.run(["sort", "-o", part, part], env={**os.environ, "LC_ALL": "C"}, check=True)
                parts.append(part)
            outs = [os.path.join(work, f"merged.{n}") for n in ("ours", "sort")]
            race(f"-m of {MERGE_FILES} files, {args.mib} MiB", {
                "tessarune": [sys.executable, "-m", "tessarune", "-s", "-m", "-o", outs[0], *parts],
                "sort": ["sort", "-s", "-m", "-o", outs[1], *parts]}, args.rounds, outs)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
