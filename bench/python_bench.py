"""End-to-end benchmarks of tessarune from Python, against other ways to sort the same data.

(a) Text lines: a file of generated lines (256 MiB by default) sorted by
    add_encoded(line, line) + write_to(file) with max_bytes = 32 MiB, threads 1 and 2; by GNU
    sort (LC_ALL=C sort -S 32M --parallel=2); and by a pure-Python external sort (chunks
    sorted with list.sort, written to temporary files, merged with heapq.merge). Every output
    must equal GNU sort's byte for byte. Lines hold printable ASCII only, so that sorting them
    with their newline as the key orders them exactly as C-locale sort orders lines.
(b) Python ints: 5 million random ints through list(Sorter().sort(items)) against
    sorted(items), both in memory.

Every contender runs in a child process of its own; its peak RSS is the child's ru_maxrss,
compared with that of an interpreter that only imports tessarune.

    python bench/python_bench.py [--mib 256] [--ints 5000000] [--dir DIR] [--only lines|ints]
"""

import argparse
import hashlib
import heapq
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from array import array

BUDGET = 32 << 20
RSS_ALLOWANCE = 24 << 20


# --- children -----------------------------------------------------------------------------

def child_idle():
    import tessarune  # noqa: F401  the interpreter's own footprint, module included


def child_tessarune_lines(inp, out, tmp, threads):
    from tessarune import Sorter
    with Sorter(max_bytes=BUDGET, threads=int(threads), tmp_dir=tmp) as s:
        add = s.add_encoded
        with open(inp, "rb") as f:
            for line in f:
                add(line, line)
        with open(out, "wb") as f:
            s.write_to(f)


def child_python_lines(inp, out, tmp):
    runs = []
    with open(inp, "rb") as f:
        while True:
            lines = f.readlines(BUDGET)
            if not lines:
                break
            lines.sort()
            path = os.path.join(tmp, f"run-{len(runs)}")
            with open(path, "wb") as run:
                run.writelines(lines)
            runs.append(path)
            del lines
    files = [open(path, "rb", buffering=1 << 16) for path in runs]
    with open(out, "wb", buffering=1 << 20) as f:
        f.writelines(heapq.merge(*files))
    for run in files:
        run.close()


def make_ints(count):
    rng = random.Random(20240601)
    return [rng.randrange(-(1 << 62), 1 << 62) for _ in range(count)]


def digest(ints):
    return hashlib.sha256(array("q", ints).tobytes()).hexdigest()


def child_sorted_ints(count):
    items = make_ints(int(count))
    start = time.perf_counter()
    result = sorted(items)
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "digest": digest(result)}))


def child_tessarune_ints(count, threads):
    from tessarune import Sorter
    items = make_ints(int(count))
    start = time.perf_counter()
    with Sorter(threads=int(threads)) as s:
        result = list(s.sort(items))
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "digest": digest(result)}))


CHILDREN = {
    "idle": child_idle,
    "tessarune-lines": child_tessarune_lines,
    "python-lines": child_python_lines,
    "sorted-ints": child_sorted_ints,
    "tessarune-ints": child_tessarune_ints,
}


# --- parent -------------------------------------------------------------------------------

class Outcome:
    def __init__(self, name, seconds, peak_rss, output=None):
        self.name = name
        self.seconds = seconds
        self.peak_rss = peak_rss  # bytes
        self.output = output


def run(command, env=None):
    """Runs a command, returning (wall seconds, peak RSS in bytes, stdout)."""
    start = time.perf_counter()
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, env=env)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    proc.stdout.close()
    if proc.returncode != 0:
        raise SystemExit(f"{command} failed with {proc.returncode}")
    return seconds, usage.ru_maxrss * 1024, out


def child_command(name, *args):
    return [sys.executable, os.path.abspath(__file__), "--child", name, *map(str, args)]


WORDS_SEED = 1234


def generate_lines(path, size):
    rng = random.Random(WORDS_SEED)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choices(letters, k=rng.randrange(2, 11))) for _ in range(30_000)]
    words += [w.capitalize() for w in words[:3000]] + [str(n) for n in range(1000)]
    written = 0
    with open(path, "wb", buffering=1 << 20) as f:
        while written < size:
            lines = [" ".join(rng.choices(words, k=rng.randrange(1, 14))) for _ in range(20_000)]
            block = ("\n".join(lines) + "\n").encode()
            f.write(block)
            written += len(block)
    return written


def same_files(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x = fa.read(1 << 20)
            if x != fb.read(1 << 20):
                return False
            if not x:
                return True


def mib(n):
    return n / (1 << 20)


def verdict(ok):
    return "met" if ok else "NOT MET"


def bench_lines(work, size):
    inp = os.path.join(work, "lines.txt")
    print(f"generating {mib(size):.0f} MiB of text lines ...", flush=True)
    size = generate_lines(inp, size)
    with open(inp, "rb") as f:
        line_count = sum(1 for _ in f)
    print(f"input: {size:,} bytes, {line_count:,} lines, budget {mib(BUDGET):.0f} MiB")

    _, idle_rss, _ = run(child_command("idle"))
    outcomes = []

    def contender(name, command, env=None):
        out = os.path.join(work, f"out-{name}.txt")
        tmp = os.path.join(work, f"tmp-{name}")
        os.mkdir(tmp)
        cmd = [part.format(out=out, tmp=tmp) for part in command]
        seconds, rss, _ = run(cmd, env=env)
        shutil.rmtree(tmp)
        outcome = Outcome(name, seconds, rss, out)
        outcomes.append(outcome)
        print(f"  {name:<22} {seconds:7.2f} s {mib(size) / seconds:8.1f} MiB/s  "
              f"peak RSS {mib(rss):7.1f} MiB", flush=True)
        return outcome

    gnu = contender("gnu-sort", ["sort", "-S", "32M", "--parallel=2", "-T", "{tmp}", "-o", "{out}", inp],
                    env=dict(os.environ, LC_ALL="C"))
    t1 = contender("tessarune-threads-1", child_command("tessarune-lines", inp, "{out}", "{tmp}", 1))
    t2 = contender("tessarune-threads-2", child_command("tessarune-lines", inp, "{out}", "{tmp}", 2))
    py = contender("python-external-sort", child_command("python-lines", inp, "{out}", "{tmp}"))

    same = all(same_files(gnu.output, o.output) for o in outcomes)
    for o in outcomes:
        os.unlink(o.output)

    print()
    print(f"  outputs identical to GNU sort: {same}")
    print(f"  interpreter alone: peak RSS {mib(idle_rss):.1f} MiB")
    for o in (t1, t2):
        print(f"  {o.name}: {gnu.seconds / o.seconds:.2f}x GNU sort's speed, "
              f"{py.seconds / o.seconds:.2f}x the pure-Python sort's, "
              f"RSS {mib(o.peak_rss - idle_rss):.1f} MiB above the interpreter's")
    above = t2.peak_rss - idle_rss
    print(f"  target threads=2 at least as fast as GNU sort: {verdict(t2.seconds <= gnu.seconds)}")
    print(f"  target threads=2 at least twice as fast as pure Python: {verdict(2 * t2.seconds <= py.seconds)}")
    print(f"  target peak RSS <= budget + 24 MiB above the interpreter's ({mib(BUDGET + RSS_ALLOWANCE):.0f} MiB): "
          f"{verdict(above <= BUDGET + RSS_ALLOWANCE)}")
    return same


def bench_ints(count):
    print(f"{count:,} random Python ints, in memory", flush=True)
    results = {}
    for name, command in [
        ("sorted()", child_command("sorted-ints", count)),
        ("tessarune threads=1", child_command("tessarune-ints", count, 1)),
        ("tessarune threads=2", child_command("tessarune-ints", count, 2)),
    ]:
        _, rss, out = run(command)
        report = json.loads(out)
        results[name] = report
        print(f"  {name:<22} {report['seconds']:7.2f} s {count / report['seconds'] / 1e6:7.2f} M items/s  "
              f"peak RSS {mib(rss):7.1f} MiB", flush=True)
    base = results["sorted()"]
    same = all(r["digest"] == base["digest"] for r in results.values())
    print()
    print(f"  results identical to sorted(): {same}")
    for name in ("tessarune threads=1", "tessarune threads=2"):
        ratio = results[name]["seconds"] / base["seconds"]
        print(f"  {name}: {ratio:.2f}x the time of sorted(); target at most 3x: {verdict(ratio <= 3)}")
    return same


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        CHILDREN[sys.argv[2]](*sys.argv[3:])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=256, help="size of the text input in MiB")
    parser.add_argument("--ints", type=int, default=5_000_000, help="number of ints for (b)")
    parser.add_argument("--dir", default=None, help="where to put the input, outputs and spills")
    parser.add_argument("--only", choices=["lines", "ints"], default=None)
    args = parser.parse_args()
    ok = True
    work = tempfile.mkdtemp(prefix="pybench-", dir=args.dir)
    try:
        if args.only in (None, "lines"):
            print("== (a) text lines through write_to")
            ok &= bench_lines(work, args.mib << 20)
            print()
        if args.only in (None, "ints"):
            print("== (b) Python ints through sort(items)")
            ok &= bench_ints(args.ints)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
