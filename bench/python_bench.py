"""End-to-end benchmarks of tessarune from Python, against GNU sort and sorted().

(a) Lines: two generated files, random text lines and log-like lines (ISO timestamp,
    address, method, path, status, size), each sorted by reading it line by line in a
    Python loop through add_encoded(line, line) and write_to(file), max_bytes = 32 MiB,
    threads 1 and 2, against LC_ALL=C sort -S 32M --parallel=2. Every output must equal GNU
    sort's byte for byte (lines hold printable ASCII only, so sorting them with their
    newline as the key orders them as C-locale sort orders lines). The contenders alternate
    round by round; medians of wall time and of CPU time (user + sys) are reported, and
    their ratios to GNU sort's.
(b) Scale: random lines four times as large (1 GiB by default), threads 2: the ratio to GNU
    sort, and the time against four times the time of (a).
(c) Python ints: 5 million random ints through list(Sorter().sort(items)) against
    sorted(items), both in memory.
(d) Memory: peak RSS above an interpreter that only imports tessarune, for max_bytes 8, 32
    and 128 MiB on the random lines, and for 4 million records of 8-byte keys at 64 MiB,
    threads 1, 2 and 4, against what the docstring promises (max_bytes, the run writer's
    buffers, about 269 KiB per run open in a merge: at most max_open, and no more than were
    spilled) + 4 MiB.

Every contender runs in a child process of its own; wall time, CPU time and peak RSS are the
child's. --baseline DIR adds tessarune from another build (a directory holding its
_tessarune module and tessarune package) as further contenders in the same rounds, to
measure a change against the build before it.

    python bench/python_bench.py [--quick] [--mib 256] [--rounds 3] [--baseline DIR]
                                 [--only lines,scale,ints,memory] [--dir DIR]
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from array import array

BUDGET = 32 << 20
MAX_OPEN = 64
BLOCK_ROOM = 269 << 10  # a 128 KiB block and room for it compressed
SLACK = 4 << 20


# --- children -----------------------------------------------------------------------------

def child_idle():
    import tessarune  # noqa: F401  the interpreter's own footprint, module included


def child_tessarune_lines(inp, out, tmp, threads, budget=BUDGET):
    from tessarune import Sorter
    with Sorter(max_bytes=int(budget), threads=int(threads), tmp_dir=tmp) as s:
        add = s.add_encoded
        with open(inp, "rb") as f:
            for line in f:
                add(line, line)
        with open(out, "wb") as f:
            s.write_to(f)
        print(json.dumps({"runs": s.stats().runs_spilled}))


def child_tessarune_records(count, out, tmp, threads, budget):
    from tessarune import Sorter
    rng = random.Random(20240602)
    with Sorter(max_bytes=int(budget), threads=int(threads), tmp_dir=tmp) as s:
        add = s.add_encoded
        for _ in range(int(count)):
            key = rng.getrandbits(64).to_bytes(8, "big")
            add(key, key)
        with open(out, "wb") as f:
            s.write_to(f)
        print(json.dumps({"runs": s.stats().runs_spilled}))


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
    "tessarune-records": child_tessarune_records,
    "sorted-ints": child_sorted_ints,
    "tessarune-ints": child_tessarune_ints,
}


# --- parent -------------------------------------------------------------------------------

def print_medians(times, show_walls):
    """Prints each contender's median wall and CPU time and its ratio to GNU sort's; returns
    GNU sort's median wall time."""
    gnu_wall = statistics.median(t.wall for t in times["gnu-sort"])
    gnu_cpu = statistics.median(t.cpu for t in times["gnu-sort"])
    for name, runs in times.items():
        wall = statistics.median(t.wall for t in runs)
        cpu = statistics.median(t.cpu for t in runs)
        walls = f"  walls {' '.join(f'{t.wall:.2f}' for t in runs)}" if show_walls else ""
        print(f"  {name:<22} wall {wall:6.2f} s ({wall / gnu_wall:4.2f}x)  "
              f"cpu {cpu:6.2f} s ({cpu / gnu_cpu:4.2f}x){walls}", flush=True)
    return gnu_wall


class Run:
    def __init__(self, wall, cpu, rss, out):
        self.wall = wall  # seconds
        self.cpu = cpu  # user + sys seconds
        self.rss = rss  # bytes
        self.out = out


def run(command, env=None):
    start = time.perf_counter()
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, env=env)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.stdout.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise SystemExit(f"{command} failed with {code}")
    return Run(wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, out)


def python_env(module_dir):
    """The environment for a child that imports tessarune from module_dir (None: as installed)."""
    if module_dir is None:
        return None
    path = os.pathsep.join(p for p in (os.path.abspath(module_dir), os.environ.get("PYTHONPATH")) if p)
    return dict(os.environ, PYTHONPATH=path)


def child_command(name, *args):
    return [sys.executable, os.path.abspath(__file__), "--child", name, *map(str, args)]


def write_lines(path, size, make_block):
    written = 0
    with open(path, "wb", buffering=1 << 20) as f:
        while written < size:
            block = make_block()
            f.write(block)
            written += len(block)
    return written


def generate_random_lines(path, size, seed=1234):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choices(letters, k=rng.randrange(2, 11))) for _ in range(30_000)]
    words += [w.capitalize() for w in words[:3000]] + [str(n) for n in range(1000)]

    def block():
        lines = [" ".join(rng.choices(words, k=rng.randrange(1, 14))) for _ in range(20_000)]
        return ("\n".join(lines) + "\n").encode()

    return write_lines(path, size, block)


def generate_log_lines(path, size, seed=4321):
    """Web-log lines of one month: every line starts with "2026-11-"."""
    rng = random.Random(seed)
    methods = ["GET"] * 8 + ["POST", "PUT", "DELETE", "HEAD"]
    statuses = ["200"] * 12 + ["201", "204", "301", "304", "400", "403", "404", "500", "503"]
    parts = ["api", "v1", "v2", "users", "orders", "items", "static", "img", "css", "search",
             "cart", "login", "logout", "admin", "reports", "export"]

    def line():
        seconds = rng.randrange(30 * 86400)
        day, rest = divmod(seconds, 86400)
        hour, rest = divmod(rest, 3600)
        minute, second = divmod(rest, 60)
        path = "/".join(rng.choices(parts, k=rng.randrange(1, 5)))
        return (f"2026-11-{day + 1:02d}T{hour:02d}:{minute:02d}:{second:02d}.{rng.randrange(1000):03d}Z "
                f"10.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(256)} "
                f"{rng.choice(methods)} /{path}/{rng.randrange(100000)} {rng.choice(statuses)} "
                f"{rng.randrange(100, 100000)}")

    def block():
        return ("\n".join(line() for _ in range(20_000)) + "\n").encode()

    return write_lines(path, size, block)


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


class Bench:
    def __init__(self, work, rounds, baseline):
        self.work = work
        self.rounds = rounds
        self.baseline = baseline

    def gnu(self, inp, out, tmp):
        return run(["sort", "-S", "32M", "--parallel=2", "-T", tmp, "-o", out, inp],
                   env=dict(os.environ, LC_ALL="C"))

    def contenders(self, threads_list):
        """(name, function(inp, out, tmp)) for GNU sort and each tessarune build and thread count."""
        result = [("gnu-sort", self.gnu)]
        builds = [("", None)] + ([("baseline ", self.baseline)] if self.baseline else [])
        for label, module_dir in builds:
            for threads in threads_list:
                def go(inp, out, tmp, threads=threads, module_dir=module_dir):
                    return run(child_command("tessarune-lines", inp, out, tmp, threads), env=python_env(module_dir))
                result.append((f"{label}tessarune t{threads}", go))
        return result

    def race(self, inp, threads_list, rounds):
        """Runs every contender `rounds` times, alternating; checks outputs against GNU sort's."""
        contenders = self.contenders(threads_list)
        times = {name: [] for name, _ in contenders}
        reference = os.path.join(self.work, "out-reference")
        identical = True
        for r in range(rounds):
            order = contenders if r % 2 == 0 else contenders[:1] + contenders[:0:-1]
            for name, go in order:
                out = os.path.join(self.work, "out")
                tmp = os.path.join(self.work, "tmp")
                os.mkdir(tmp)
                # Whatever the run before left to write back (a gigabyte of output and
                # temporary files) goes to disk first, not during this run.
                os.sync()
                result = go(inp, out, tmp)
                shutil.rmtree(tmp)
                times[name].append(result)
                if name == "gnu-sort" and r == 0:
                    os.replace(out, reference)
                else:
                    identical &= same_files(reference, out)
                    os.unlink(out)
        os.unlink(reference)
        return times, identical

    def lines(self, size):
        summary = {}
        for kind, generate in (("random lines", generate_random_lines), ("log lines", generate_log_lines)):
            inp = os.path.join(self.work, "input")
            size = generate(inp, size)
            with open(inp, "rb") as f:
                count = sum(1 for _ in f)
            print(f"-- {kind}: {size:,} bytes, {count:,} lines, budget {mib(BUDGET):.0f} MiB, "
                  f"median of {self.rounds}", flush=True)
            times, identical = self.race(inp, (1, 2), self.rounds)
            os.unlink(inp)
            gnu_wall = print_medians(times, show_walls=True)
            print(f"  outputs identical to GNU sort: {identical}")
            for threads, target in ((2, 0.67), (1, 0.9)):
                wall = statistics.median(t.wall for t in times[f"tessarune t{threads}"])
                print(f"  target threads={threads} at most {target}x GNU sort's time: "
                      f"{verdict(wall <= target * gnu_wall)}")
            summary[kind] = statistics.median(t.wall for t in times["tessarune t2"])
            if not identical:
                return summary, False
        return summary, True

    def scale(self, size, small_seconds):
        inp = os.path.join(self.work, "input")
        size = generate_random_lines(inp, size, seed=99)
        rounds = max(1, self.rounds // 2)
        print(f"-- random lines: {size:,} bytes, threads 2, median of {rounds}", flush=True)
        times, identical = self.race(inp, (2,), rounds)
        os.unlink(inp)
        gnu_wall = print_medians(times, show_walls=False)
        wall = statistics.median(t.wall for t in times["tessarune t2"])
        print(f"  outputs identical to GNU sort: {identical}")
        print(f"  target at most 0.67x GNU sort's time: {verdict(wall <= 0.67 * gnu_wall)}")
        if small_seconds:
            print(f"  {wall / small_seconds:.2f}x the time of the input a quarter this size; "
                  f"target at most 5x: {verdict(wall <= 5 * small_seconds)}")
        return identical

    def memory(self, size):
        inp = os.path.join(self.work, "input")
        size = generate_random_lines(inp, size)
        idle = run(child_command("idle")).rss
        print(f"-- peak RSS above the interpreter's own ({mib(idle):.1f} MiB), random lines, "
              f"{mib(size):.0f} MiB", flush=True)
        ok = True
        cases = [(f"lines,   max_bytes {mib(budget):4.0f} MiB", "tessarune-lines", inp, budget)
                 for budget in (8 << 20, 32 << 20, 128 << 20)]
        cases.append(("4M records, max_bytes   64 MiB", "tessarune-records", 4_000_000, 64 << 20))
        for label, child, source, budget in cases:
            for threads in (1, 2, 4):
                out = os.path.join(self.work, "out")
                tmp = os.path.join(self.work, "tmp")
                os.mkdir(tmp)
                result = run(child_command(child, source, out, tmp, threads, budget))
                shutil.rmtree(tmp)
                os.unlink(out)
                # The docstring: max_bytes, the run writer's 1 MiB buffer and its blocks (one
                # with 1 thread, two per thread with more), about 269 KiB per open run: no
                # merge opens more than max_open runs, nor more than were spilled.
                blocks = 1 if threads == 1 else min(2 * threads, 16)
                open_runs = min(json.loads(result.out)["runs"], MAX_OPEN)
                promise = budget + (1 << 20) + blocks * BLOCK_ROOM + open_runs * BLOCK_ROOM
                above = result.rss - idle
                met = above <= promise + SLACK
                ok &= met
                print(f"  {label} threads {threads}: {mib(above):6.1f} MiB above, {open_runs:3d} runs, "
                      f"allowed {mib(promise + SLACK):6.1f} MiB: {verdict(met)}", flush=True)
        os.unlink(inp)
        return ok


def bench_ints(count, baseline):
    print(f"-- {count:,} random Python ints, in memory", flush=True)
    results = {}
    contenders = [
        ("sorted()", child_command("sorted-ints", count), None),
        ("tessarune threads=1", child_command("tessarune-ints", count, 1), None),
        ("tessarune threads=2", child_command("tessarune-ints", count, 2), None),
    ]
    if baseline:
        contenders += [("baseline threads=1", child_command("tessarune-ints", count, 1), baseline),
                       ("baseline threads=2", child_command("tessarune-ints", count, 2), baseline)]
    for name, command, module_dir in contenders:
        report = json.loads(run(command, env=python_env(module_dir)).out)
        results[name] = report
        print(f"  {name:<22} {report['seconds']:7.2f} s {count / report['seconds'] / 1e6:7.2f} M items/s",
              flush=True)
    base = results["sorted()"]
    same = all(r["digest"] == base["digest"] for r in results.values())
    print(f"  results identical to sorted(): {same}")
    for name in results.keys() - {"sorted()"}:
        print(f"  {name}: {results[name]['seconds'] / base['seconds']:.2f}x the time of sorted()")
    return same


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        CHILDREN[sys.argv[2]](*sys.argv[3:])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a quick subset: 64 MiB inputs, 1 round, no 1 GiB case, 1M ints")
    parser.add_argument("--mib", type=int, default=None, help="size of each line input (default 256)")
    parser.add_argument("--rounds", type=int, default=None, help="rounds per contender (default 3)")
    parser.add_argument("--ints", type=int, default=None, help="number of ints (default 5000000)")
    parser.add_argument("--baseline", default=None, help="directory of another build to compare with")
    parser.add_argument("--only", default="lines,scale,ints,memory")
    parser.add_argument("--dir", default=None, help="where to put the inputs, outputs and spills")
    args = parser.parse_args()
    size_mib = args.mib or (64 if args.quick else 256)
    rounds = args.rounds or (1 if args.quick else 3)
    ints = args.ints or (1_000_000 if args.quick else 5_000_000)
    parts = set(args.only.split(","))
    if args.quick:
        parts.discard("scale")
    ok = True
    work = tempfile.mkdtemp(prefix="pybench-", dir=args.dir)
    bench = Bench(work, rounds, args.baseline)
    try:
        small = {}
        if "lines" in parts:
            print("== (a) lines through add_encoded(line, line) and write_to")
            small, same = bench.lines(size_mib << 20)
            ok &= same
            print()
        if "scale" in parts:
            print("== (b) four times the random lines")
            ok &= bench.scale(4 * size_mib << 20, small.get("random lines"))
            print()
        if "ints" in parts:
            print("== (c) Python ints through sort(items)")
            ok &= bench_ints(ints, args.baseline)
            print()
        if "memory" in parts:
            print("== (d) memory")
            bench.memory(size_mib << 20)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
