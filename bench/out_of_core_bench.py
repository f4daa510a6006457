"""Sorting more than the machine can cache: the native tessarune command against the sort
command on a file several times larger than the page cache is allowed to grow.

A child process (the balloon) maps and touches anonymous memory, sized from MemAvailable
before each run so that what stays available is --cache-gib for the page cache (default: a
quarter of the input, at least 3 GiB), the -S of the case and --safety-gib for the
contenders' memory above -S. Nothing else on the machine is pushed out: the balloon takes
only memory that was available, the cache left beside it can be taken back by anyone, and the
balloon offers itself first to the OOM killer (the benchmark then stops, as the cache was no
longer bounded). It is released at exit, on Ctrl-C and on error alike.

Each round measures the disk's sequential bandwidth with direct I/O (dd, --bw-mib MiB, best of
two tries), then runs each contender on each input and -S (tessarune and `sort` alternated,
their order swapped every round), each after `sync` and dropping the caches, both with
LC_ALL=C --parallel=2 and their temporary files beside the input (-T). For each run:
- wall seconds to the exit, and the flush seconds of the `sync` right after it (the output a
  run leaves dirty in the cache is part of its work but not of its wall time);
- CPU (user + sys) and peak RSS of the whole process tree, from the rusage that wait4 gives a
  small C launcher (bench/command_bench.py's: a child of this Python process would inherit its
  resident set as a floor under ru_maxrss);
- bytes read and written: read_bytes and write_bytes - cancelled_write_bytes of this
  process's own /proc/self/io, before and after. The kernel adds a reaped child's counters to
  its parent's, so the launcher's and the contender's whole I/O lands there exactly, threads
  included, with nothing lost between the last sample and the exit;
- Cached from /proc/meminfo before the run, its peak (sampled every 50 ms) and after. It is
  the whole machine's: it takes in the output being written, and grows into what the
  contender does not hold of its -S (while it fills its buffer, once it has freed it) and into
  what others on the machine free; "room" is MemAvailable - S right before the run;
- the I/O floor: the input read once, the output written once and runs written once and read
  once at the input's size, over that round's measured bandwidths
  (2 x input / write bandwidth + 2 x input / read bandwidth), and wall / floor.
Every output is verified: sorted as bytes and the same multiset of lines as the input, by line
count, byte count and the sum and xor of a 64-bit hash of each line, computed in one streaming
pass by a small C helper (Python would take minutes a pass over 8 GiB; the helper goes at the
disk's speed). The input's fingerprint is kept beside it.

The table gives medians over the rounds (peak RSS: the largest), then tessarune / sort, and an
estimate of how long the same benchmark takes at 8 GiB, scaled from this run.

    .venv/bin/python bench/out_of_core_bench.py [--tessarune build/rel/tessarune] [--gib 8]
        [--kinds random,logs] [--buffers 1G,64M] [--rounds 2] [--cache-gib C] [--dir DIR]

Needs root (to drop the caches), dd and a C compiler. The inputs are made once and stay in
--dir (default /var/tmp/tessarune-ooc-bench) for later runs: random lines (base64 of 48
random bytes, 64 characters and a newline) and log lines (bench/keyed_data.py's format).
"""

import argparse
import base64
import itertools
import json
import math
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from command_bench import Failed, build_launcher, ratio  # noqa: E402

GIB = 1 << 30
MIB = 1 << 20
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONTENDERS = ("tessarune", "sort")
THREADS = 2
ESTIMATE_GIB = 8
RUN_SPACE = 1.1  # the runs of one sort, as a share of its input (framing, a partial last run)

# One pass over a file: lines, bytes in them, sum and xor of a hash of each line, and the
# number of the first line that sorts before the one above it as bytes (0: sorted).
VERIFIER_C = r"""
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static uint64_t lines, bytes, sum, xor_, disorder;
static unsigned char *prev;
static size_t prev_len, prev_cap;

static uint64_t step(uint64_t h, uint64_t w) {
  h = (h ^ w) * 0x9e3779b97f4a7c15ULL;
  return h ^ (h >> 29);
}

static uint64_t finish(uint64_t h) {
  h ^= h >> 33; h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33; h *= 0xc4ceb9fe1a85ec53ULL;
  return h ^ (h >> 33);
}

static void line(const unsigned char *p, size_t n) {
  uint64_t h = 0x243f6a8885a308d3ULL ^ n, w;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) { memcpy(&w, p + i, 8); h = step(h, w); }
  if (i < n) { w = 0; memcpy(&w, p + i, n - i); h = step(h, w); }
  h = finish(h);
  ++lines; bytes += n; sum += h; xor_ ^= h;
  if (lines > 1 && !disorder) {
    int c = memcmp(prev, p, prev_len < n ? prev_len : n);
    if (c > 0 || (c == 0 && prev_len > n)) disorder = lines;
  }
  if (n > prev_cap) {
    prev_cap = n * 2;
    if (!(prev = realloc(prev, prev_cap))) exit(3);
  }
  memcpy(prev, p, n);
  prev_len = n;
}

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) { perror(argv[1]); return 1; }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  size_t cap = 16 << 20, have = 0;
  unsigned char *buf = malloc(cap);
  if (!buf) return 3;
  for (;;) {
    ssize_t got = read(fd, buf + have, cap - have);
    if (got < 0) { perror(argv[1]); return 1; }
    if (got == 0) break;
    have += (size_t)got;
    size_t start = 0;
    unsigned char *nl;
    while ((nl = memchr(buf + start, '\n', have - start))) {
      line(buf + start, (size_t)(nl - (buf + start)));
      start = (size_t)(nl - buf) + 1;
    }
    memmove(buf, buf + start, have - start);
    have -= start;
    if (have == cap && !(buf = realloc(buf, cap *= 2))) return 3;
  }
  if (have) line(buf, have);
  printf("%llu %llu %llu %llu %llu\n", (unsigned long long)lines, (unsigned long long)bytes,
         (unsigned long long)sum, (unsigned long long)xor_, (unsigned long long)disorder);
  return 0;
}
"""

# Holds memory away from the page cache: private anonymous pages (a shared mapping would be
# shmem, counted in Cached). Reads a size in bytes a line, maps or unmaps 64 MiB pieces to
# hold that much, every page allocated, and answers with the size held; exits at end of
# input, so it dies with this script however that ends. It offers itself first to the OOM
# killer: should someone else on the machine need the memory, the balloon goes, not theirs.
BALLOON_PIECE = 64 * MIB
BALLOON_PY = r"""
import mmap, os, sys
PIECE = %d
try:
    with open("/proc/self/oom_score_adj", "w") as f:
        f.write("1000")
except OSError:
    pass
pieces = []
for request in sys.stdin:
    want = int(request) // PIECE
    while len(pieces) < want:
        # Populating a private writable mapping allocates every page, as writing would.
        pieces.append(mmap.mmap(-1, PIECE, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS
                                | mmap.MAP_POPULATE))
    while len(pieces) > want:
        pieces.pop().close()
    print(len(pieces) * PIECE, flush=True)
""" % BALLOON_PIECE


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def compile_c(work, name, source):
    path = os.path.join(work, name)
    with open(path + ".c", "w") as f:
        f.write(source)
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    subprocess.run([cc, "-O2", "-o", path, path + ".c"], check=True)
    return path


def meminfo():
    """/proc/meminfo in bytes."""
    out = {}
    with open("/proc/meminfo") as f:
        for row in f:
            name, value = row.split(":")
            out[name] = int(value.split()[0]) * 1024
    return out


def own_io():
    with open("/proc/self/io") as f:
        return {k: int(v) for k, v in (row.split(":") for row in f)}


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3")


def gib(n):
    return f"{n / GIB:.2f}"


# ---------------------------------------------------------------- the inputs

def random_block(rnd, lines):
    # 48 random bytes are exactly 64 base64 characters, so a block encodes as whole lines.
    text = base64.b64encode(rnd.randbytes(48 * lines))
    return b"\n".join(text[i:i + 64] for i in range(0, len(text), 64)) + b"\n"


# The log lines of bench/keyed_data.py (same fields, same distributions), drawn a field at a
# time for a block of lines: its line-at-a-time generator makes 8 MB/s, which is 18 minutes
# for 8 GiB; this makes about 40.
_DAY0 = 1_767_225_600
_DAYS = [time.strftime("%Y-%m-%dT", time.gmtime(_DAY0 + d * 86400)) for d in range(90)]
_CLOCK = [f"{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}" for s in range(86400)]
_MILLIS = [f".{m:03d}Z" for m in range(1000)]
_HOSTS = [f"host-{h:02d}" for h in range(1, 41)]
_LEVELS = ["INFO", "INFO", "INFO", "WARN", "ERROR", "DEBUG"]
_STATUSES = ["200", "200", "304", "404", "500"]
_STATIC = ["/api/users", "/api/orders", "/static/app.js", "/login"]
_ITEMS = [f"/api/items/{i}" for i in range(1, 100000)]
_PATHS = _STATIC + _ITEMS
# Each of the five path templates equally likely, the item number uniform within its own.
_PATH_WEIGHTS = list(itertools.accumulate([len(_ITEMS)] * len(_STATIC) + [1] * len(_ITEMS)))
_LOG_LINE = "%s%s%s %s %s GET %d %s %dms %s req=%s\n".__mod__


def log_block(rnd, lines):
    pick = rnd.choices
    req = rnd.randbytes(8 * lines).hex()
    return "".join(map(_LOG_LINE, zip(
        pick(_DAYS, k=lines), pick(_CLOCK, k=lines), pick(_MILLIS, k=lines),
        pick(_HOSTS, k=lines), pick(_LEVELS, k=lines), pick(range(2_000_001), k=lines),
        pick(_STATUSES, k=lines), pick(range(1, 5001), k=lines),
        pick(_PATHS, cum_weights=_PATH_WEIGHTS, k=lines),
        [req[i:i + 16] for i in range(0, 16 * lines, 16)]))).encode()


MAKERS = {"random": random_block, "logs": log_block}


def fingerprint(verifier, path):
    out = subprocess.run([verifier, path], check=True, capture_output=True, text=True).stdout
    lines, size, total, xor, disorder = map(int, out.split())
    return {"lines": lines, "bytes": size, "sum": total, "xor": xor, "disorder": disorder}


def input_path(data_dir, kind, size):
    return os.path.join(data_dir, f"{kind}-{size / GIB:g}G.txt")


def input_file(data_dir, kind, size, verifier):
    """(path, fingerprint) of the input, made unless a complete one is there."""
    path = input_path(data_dir, kind, size)
    meta_path = path + ".json"
    meta = {}
    if os.path.exists(path) and os.path.exists(meta_path):
        with open(meta_path) as f:
            meta = json.load(f)
        st = os.stat(path)
        if (meta.get("size"), meta.get("mtime_ns")) != (st.st_size, st.st_mtime_ns):
            meta = {}
    if not os.path.exists(path):
        log(f"making {gib(size)} GiB of {kind} lines in {path} ...")
        start = time.monotonic()
        partial = path + ".partial"  # renamed into place only when whole
        rnd = random.Random(f"{kind}-1")
        with open(partial, "wb") as f:
            written = 0
            while written < size:
                block = MAKERS[kind](rnd, 65536)
                f.write(block)
                written += len(block)
        os.replace(partial, path)
        meta = {"made_s": time.monotonic() - start}
    if "fingerprint" not in meta:
        meta["fingerprint"] = fingerprint(verifier, path)
        st = os.stat(path)
        meta.update(size=st.st_size, mtime_ns=st.st_mtime_ns)
        with open(meta_path, "w") as f:
            json.dump(meta, f)
    return path, meta


# ---------------------------------------------------------------- memory and disk

class BalloonGone(Failed):
    """The page cache is no longer bounded: no later run would measure what is asked."""


class Balloon:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, "-c", BALLOON_PY], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.held = 0

    def hold(self, size):
        try:
            self.proc.stdin.write(f"{max(0, int(size))}\n")
            self.proc.stdin.flush()
            answer = self.proc.stdout.readline()
        except BrokenPipeError:
            answer = ""
        if not answer:
            raise BalloonGone("the memory balloon died (killed by the OOM killer?): the "
                              "page cache was not bounded")
        self.held = int(answer)

    def alive(self):
        return self.proc.poll() is None

    def release(self):
        # It holds nothing worth a clean exit, and may be in the middle of growing.
        self.proc.kill()
        self.proc.wait()
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except BrokenPipeError:
                pass


def fit_balloon(balloon, room):
    """Holds all the available memory but room; returns MemAvailable after.

    Measured again after each change, as the kernel's estimate moves with what it frees
    lazily and with what others on the machine do meanwhile."""
    drop_caches()
    for _ in range(4):
        available = meminfo()["MemAvailable"]
        if abs(available - room) < 2 * BALLOON_PIECE or (available < room and not balloon.held):
            break
        balloon.hold(balloon.held + available - room)
        time.sleep(0.2)
    return meminfo()["MemAvailable"]


def bandwidth(path, mib):
    """Best (write, read) bytes/s of two tries of dd with direct I/O, and every try."""
    tries = {"write": [], "read": []}
    size = (mib // 16) * 16 * MIB
    for _ in range(2):
        if os.path.exists(path):
            os.unlink(path)
        for name, argv in (("write", ["dd", "if=/dev/zero", f"of={path}", "bs=16M",
                                      f"count={mib // 16}", "oflag=direct", "conv=fdatasync"]),
                           ("read", ["dd", f"if={path}", "of=/dev/null", "bs=16M",
                                     "iflag=direct"])):
            start = time.perf_counter()
            subprocess.run(argv, check=True, stderr=subprocess.DEVNULL)
            tries[name].append(size / (time.perf_counter() - start))
    os.unlink(path)
    return max(tries["write"]), max(tries["read"]), tries


def spread(values):
    return (max(values) - min(values)) / max(values)


# ---------------------------------------------------------------- one run

class CacheSampler(threading.Thread):
    def __init__(self):
        super().__init__(daemon=True)
        self.stop = threading.Event()
        self.peak_cached = 0

    def run(self):
        while True:
            self.peak_cached = max(self.peak_cached, meminfo()["Cached"])
            if self.stop.wait(0.05):
                return


def launch(launcher, report, argv):
    """(wall, cpu, max_rss_kib, read_bytes, written_bytes) of argv, run in the C locale."""
    env = {**os.environ, "LC_ALL": "C"}
    before = own_io()
    # A session of its own, so that ending this script ends the contender too.
    proc = subprocess.Popen([launcher, report, *argv], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, env=env, start_new_session=True)
    try:
        _, err = proc.communicate()
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    after = own_io()
    if proc.returncode != 0:
        raise Failed(f"{argv[0]} exited with {proc.returncode}: "
                     f"{err.decode(errors='replace').strip()[:200]}")
    with open(report) as f:
        wall, cpu, rss = f.read().split()
    written = ((after["write_bytes"] - before["write_bytes"])
               - (after["cancelled_write_bytes"] - before["cancelled_write_bytes"]))
    return float(wall), float(cpu), int(rss), after["read_bytes"] - before["read_bytes"], written


def one_run(bench, name, exe, src, meta, buffer, buffer_bytes, bw):
    out = os.path.join(bench.work, f"out.{name}")
    tmp = os.path.join(bench.work, f"tmp.{name}")
    if os.path.exists(out):
        os.unlink(out)
    os.makedirs(tmp, exist_ok=True)
    available = fit_balloon(bench.balloon, bench.cache + buffer_bytes + bench.safety)
    cached_before = meminfo()["Cached"]
    sampler = CacheSampler()
    sampler.start()
    try:
        wall, cpu, rss, read, written = launch(
            bench.launcher, bench.report,
            [exe, "-S", buffer, f"--parallel={THREADS}", "-T", tmp, "-o", out, src])
    finally:
        sampler.stop.set()
        sampler.join()
    cached_after = meminfo()["Cached"]
    start = time.perf_counter()
    os.sync()
    flush = time.perf_counter() - start
    shutil.rmtree(tmp)
    if not bench.balloon.alive():
        raise BalloonGone("the memory balloon died during the run (killed by the OOM "
                          "killer?): the page cache was not bounded")
    start = time.perf_counter()
    got = fingerprint(bench.verifier, out)
    verify = time.perf_counter() - start
    want = meta["fingerprint"]
    if got["disorder"]:
        raise Failed(f"output line {got['disorder']} sorts before the line above it")
    if any(got[k] != want[k] for k in ("lines", "bytes", "sum", "xor")):
        raise Failed(f"the output's lines are not the input's ({got['lines']} lines, "
                     f"{want['lines']} in the input)")
    if os.path.getsize(out) != got["bytes"] + got["lines"]:
        raise Failed("the output's last line has no newline")
    os.unlink(out)
    size = meta["size"]
    floor = 2 * size / bw[0] + 2 * size / bw[1]
    return {"wall": wall, "flush": flush, "cpu": cpu, "rss": rss * 1024, "read": read,
            "written": written, "cached_before": cached_before,
            "cached_peak": sampler.peak_cached, "cached_after": cached_after,
            "room": available - buffer_bytes,
            "floor": floor, "over_floor": wall / floor, "verify": verify}


# ---------------------------------------------------------------- the report

def parse_size(text):
    units = {"K": 1 << 10, "M": MIB, "G": GIB}
    return int(text[:-1]) * units[text[-1].upper()] if text[-1].upper() in units else int(text)


def print_table(results, failures):
    cols = ("input", "-S", "contender", "wall s", "flush s", "CPU s", "peak RSS MiB",
            "read GiB", "written GiB", "Cached GiB before / peak / after",
            "room GiB", "I/O floor s", "wall / floor")
    print("| " + " | ".join(cols) + " |")
    print("|" + "---|" * len(cols))
    med = {}
    for (kind, buffer, name), runs in results.items():
        def m(key):
            return statistics.median(r[key] for r in runs)
        med[kind, buffer, name] = {"wall": m("wall"), "cpu": m("cpu"),
                                   "rss": max(r["rss"] for r in runs), "read": m("read"),
                                   "written": m("written")}
        print(f"| {kind} | {buffer} | {name} | {m('wall'):.1f} | {m('flush'):.1f} | "
              f"{m('cpu'):.1f} | {max(r['rss'] for r in runs) / MIB:.0f} | {gib(m('read'))} | "
              f"{gib(m('written'))} | {gib(m('cached_before'))} / {gib(m('cached_peak'))} / "
              f"{gib(m('cached_after'))} | {gib(m('room'))} | {m('floor'):.1f} | "
              f"{m('over_floor'):.1f}x |")
    for (kind, buffer, name), why in failures.items():
        print(f"| {kind} | {buffer} | {name} | **{why}** |" + " |" * (len(cols) - 4))
    print("\ntessarune / sort (medians; RSS: peaks):\n")
    print("| input | -S | wall | CPU | peak RSS | read | written |")
    print("|---|---|---|---|---|---|---|")
    for (kind, buffer, name), ours in med.items():
        theirs = med.get((kind, buffer, "sort"))
        if name != "tessarune" or not theirs:
            continue
        print(f"| {kind} | {buffer} | " + " | ".join(
            f"{ratio(ours[k], theirs[k]):.2f}x" for k in ("wall", "cpu", "rss", "read",
                                                          "written")) + " |")


def estimate(args, timing, metas, rounds):
    """Minutes the benchmark would take at ESTIMATE_GIB with `rounds` rounds, scaled from this
    run: the sorts (wall and flush) and their verification by n log n in the lines, the rest
    of each run (dropping the caches, fitting the balloon) and the bandwidth tests as they
    were, and making the inputs linearly (once only)."""
    lines = sum(m["fingerprint"]["lines"] for m in metas.values()) / len(metas)
    factor = ESTIMATE_GIB / args.gib
    scale = factor * math.log2(lines * factor) / math.log2(lines)
    per_round = (timing["sorts"] * scale + timing["runs"] - timing["sorts"]
                 + timing["bandwidth"]) / args.rounds
    making = sum(m.get("made_s", 0) for m in metas.values()) * factor
    known = all("made_s" in m for m in metas.values())
    return (timing["setup"] + per_round * rounds) / 60, (making / 60 if known else None)


# ---------------------------------------------------------------- main

def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tessarune", default=os.path.join(REPO, "build", "rel", "tessarune"))
    ap.add_argument("--sort", default=shutil.which("sort"), help=argparse.SUPPRESS)
    ap.add_argument("--gib", type=float, default=8, help="size of each input (default 8)")
    ap.add_argument("--kinds", default="random,logs")
    ap.add_argument("--buffers", default="1G,64M", help="the -S of each case")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--cache-gib", type=float,
                    help="memory left to the page cache (default: a quarter of the input, "
                         "at least 3 GiB)")
    ap.add_argument("--safety-gib", type=float, default=0.25,
                    help="memory left beside the cache and -S, for the contenders' own memory "
                         "above -S (default 0.25)")
    ap.add_argument("--bw-mib", type=int, default=2048, help="size of the dd tests")
    ap.add_argument("--dir", default="/var/tmp/tessarune-ooc-bench",
                    help="inputs (kept), outputs and temporary files, all on the disk measured")
    args = ap.parse_args()
    args.kinds = args.kinds.split(",")
    args.buffers = args.buffers.split(",")
    if set(args.kinds) - set(MAKERS):
        sys.exit(f"--kinds: unknown {sorted(set(args.kinds) - set(MAKERS))}")
    if args.rounds < 1:
        sys.exit("--rounds must be at least 1")
    if os.geteuid() != 0:
        sys.exit("needs root, to drop the page cache before each run")
    if not os.access(args.tessarune, os.X_OK):
        sys.exit(f"no tessarune executable at {args.tessarune}: give --tessarune PATH")
    if not args.sort or not shutil.which("dd"):
        sys.exit("needs the sort and dd commands")
    args.size = int(args.gib * GIB)
    args.cache = int((args.cache_gib if args.cache_gib is not None
                      else max(args.gib / 4, 3)) * GIB)
    args.safety = int(args.safety_gib * GIB)
    return args


def check_disk(args):
    """Stops unless the inputs still to make and one sort at a time (its runs and its output)
    fit on the disk of --dir."""
    os.makedirs(args.dir, exist_ok=True)
    missing = [k for k in args.kinds if not os.path.exists(input_path(args.dir, k, args.size))]
    margin = GIB
    need = (len(missing) + RUN_SPACE + 1) * args.size + args.bw_mib * MIB + margin
    st = os.statvfs(args.dir)
    free = st.f_bavail * st.f_frsize
    log(f"disk: {gib(free)} GiB free in {args.dir}; needs {gib(need)} GiB ({len(missing)} "
        f"input(s) to make, runs and output of one sort at {gib(args.size)} GiB each, the "
        f"{args.bw_mib} MiB dd file and {gib(margin)} GiB spare)")
    if need > free:
        fits = (free - args.bw_mib * MIB - margin) / (len(missing) + RUN_SPACE + 1) / GIB
        sys.exit(f"not enough disk: {gib(need)} GiB needed, {gib(free)} GiB free; "
                 f"--gib {max(0, math.floor(fits * 4) / 4):g} would fit")


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.cache, self.safety = args.cache, args.safety
        self.work = work
        self.verifier = compile_c(work, "verify", VERIFIER_C)
        self.launcher = build_launcher(work)
        self.report = os.path.join(work, "rusage")
        self.exes = {"tessarune": args.tessarune, "sort": args.sort}
        self.inputs, self.metas = {}, {}
        self.results, self.failures, self.bws = {}, {}, []
        self.timing = {"setup": 0.0, "runs": 0.0, "sorts": 0.0, "bandwidth": 0.0}
        self.balloon = None

    def make_inputs(self):
        for kind in self.args.kinds:
            self.inputs[kind], self.metas[kind] = input_file(self.args.dir, kind, self.args.size,
                                                             self.verifier)

    def inflate(self):
        start = time.monotonic()
        drop_caches()
        total, available = meminfo()["MemTotal"], meminfo()["MemAvailable"]
        self.balloon = Balloon()
        largest = max(parse_size(b) for b in self.args.buffers)
        room = fit_balloon(self.balloon, self.cache + largest + self.safety)
        self.timing["setup"] = time.monotonic() - start
        log(f"memory: {gib(total)} GiB in all, {gib(available)} GiB available; the balloon "
            f"holds {gib(self.balloon.held)} GiB, leaving {gib(room)} GiB: "
            f"{gib(room - largest)} GiB for the page cache beside -S {gib(largest)} GiB "
            f"(aimed at {gib(self.cache)} + {gib(self.safety)} safety); the input is "
            f"{gib(self.args.size)} GiB")

    def round(self, round_no):
        start = time.monotonic()
        write_bw, read_bw, tries = bandwidth(os.path.join(self.work, "dd.bin"), self.args.bw_mib)
        self.timing["bandwidth"] += time.monotonic() - start
        self.bws.append((write_bw, read_bw, tries))
        log(f"round {round_no + 1}: disk write {write_bw / 1e6:.0f} MB/s (tries "
            f"{', '.join(f'{t / 1e6:.0f}' for t in tries['write'])}), read {read_bw / 1e6:.0f} "
            f"MB/s (tries {', '.join(f'{t / 1e6:.0f}' for t in tries['read'])})")
        order = CONTENDERS if round_no % 2 == 0 else CONTENDERS[::-1]
        for kind in self.args.kinds:
            for buffer in self.args.buffers:
                for name in order:
                    if (kind, buffer, name) not in self.failures:
                        self.run(kind, buffer, name, (write_bw, read_bw))

    def run(self, kind, buffer, name, bw):
        key = (kind, buffer, name)
        start = time.monotonic()
        try:
            r = one_run(self, name, self.exes[name], self.inputs[kind], self.metas[kind],
                        buffer, parse_size(buffer), bw)
        except BalloonGone:
            raise
        except Failed as e:
            self.failures[key] = str(e).replace("|", "/").replace("\n", " ")
            log(f"  {kind} -S {buffer} {name}: FAILED: {self.failures[key]}")
            return
        finally:
            self.timing["runs"] += time.monotonic() - start
        self.results.setdefault(key, []).append(r)
        self.timing["sorts"] += r["wall"] + r["flush"] + r["verify"]
        log(f"  {kind} -S {buffer} {name}: wall {r['wall']:.1f} s, flush {r['flush']:.1f} s, "
            f"cpu {r['cpu']:.1f} s, RSS {r['rss'] / MIB:.0f} MiB, read {gib(r['read'])} GiB, "
            f"written {gib(r['written'])} GiB, Cached peak {gib(r['cached_peak'])} GiB, room "
            f"{gib(r['room'])} GiB, {r['over_floor']:.1f}x the I/O floor; verified")

    def print_report(self, elapsed):
        args = self.args
        writes = [b[0] for b in self.bws]
        reads = [b[1] for b in self.bws]
        tries_w = [t for b in self.bws for t in b[2]["write"]]
        tries_r = [t for b in self.bws for t in b[2]["read"]]
        print(f"tessarune: {args.tessarune}; sort: {args.sort}; LC_ALL=C "
              f"--parallel={THREADS}; {os.cpu_count()} CPUs; {args.rounds} round(s); inputs "
              f"of {gib(args.size)} GiB; memory left beside -S: {gib(self.cache)} GiB for the "
              f"page cache + {gib(self.safety)} GiB\n")
        print(f"disk (dd, direct I/O, {args.bw_mib} MiB, best of 2 a round): write "
              f"{statistics.median(writes) / 1e6:.0f} MB/s (rounds {min(writes) / 1e6:.0f}-"
              f"{max(writes) / 1e6:.0f}, all tries spread {spread(tries_w):.0%}), read "
              f"{statistics.median(reads) / 1e6:.0f} MB/s (rounds {min(reads) / 1e6:.0f}-"
              f"{max(reads) / 1e6:.0f}, all tries spread {spread(tries_r):.0%})\n")
        print_table(self.results, self.failures)
        rounds = max(args.rounds, 2)
        minutes, making = estimate(args, self.timing, self.metas, rounds)
        print(f"\nthis run: {elapsed / 60:.1f} min; estimated at {ESTIMATE_GIB} GiB with "
              f"{rounds} rounds and these cases: {minutes:.0f} min"
              + (f", plus {making:.0f} min to make the inputs the first time"
                 if making is not None else ""))


def main():
    args = parse_args()
    check_disk(args)

    def stop(signum, _frame):
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)

    started = time.monotonic()
    work = os.path.join(args.dir, f"work-{os.getpid()}")
    os.makedirs(work)
    bench = None
    try:
        bench = Bench(args, work)
        bench.make_inputs()
        bench.inflate()
        for round_no in range(args.rounds):
            bench.round(round_no)
    except BalloonGone as e:
        sys.exit(f"stopped: {e}")
    except KeyboardInterrupt:
        sys.exit("interrupted")
    finally:
        if bench and bench.balloon:
            bench.balloon.release()
        shutil.rmtree(work, ignore_errors=True)
    bench.print_report(time.monotonic() - started)
    sys.exit(1 if bench.failures else 0)


if __name__ == "__main__":
    main()
