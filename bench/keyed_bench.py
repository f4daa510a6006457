"""Named keys against the peers: field keys of lines against the C-locale sort command, JSON
Lines and CSV keys against DuckDB and Polars, on the same files in the same run.

Each round runs every contender once, in turn (so that all see the same machine), and the
table gives the median of the rounds: wall and CPU (user + sys) seconds, peak RSS of the
process, and the ratio of tessarune's wall time to each peer's. Outputs are compared with the
sort command's, which must be byte-identical; DuckDB and Polars write JSON and CSV of their
own making, so theirs are not compared (the tests check tessarune's order).

    .venv/bin/python bench/keyed_bench.py [--mib 256] [--rounds 3] [--dir DIR] [--only logs,jsonl,csv]

Needs the `bench` extra (duckdb, polars) for the JSON Lines and CSV rows.
"""

import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import keyed_data  # noqa: E402


def same_files(a, b):
    return filecmp.cmp(a, b, shallow=False)


THREADS = 2

DUCKDB_JSON = """
import duckdb, sys
c = duckdb.connect()
c.execute("SET memory_limit='256MB'; SET threads={threads}; SET temp_directory='{tmp}'")
c.execute("COPY (SELECT * FROM read_json('{src}', format='newline_delimited') "
          "ORDER BY user.id, ts) TO '{out}' (FORMAT json)")
"""
DUCKDB_CSV = """
import duckdb
c = duckdb.connect()
c.execute("SET memory_limit='256MB'; SET threads={threads}; SET temp_directory='{tmp}'")
c.execute("COPY (SELECT * FROM read_csv('{src}', header=true, all_varchar=true) "
          "ORDER BY country, ts) TO '{out}' (FORMAT csv, HEADER)")
"""
POLARS_JSON = """
import polars as pl
pl.scan_ndjson('{src}').sort([pl.col('user').struct.field('id'), 'ts'], maintain_order=True)\\
    .sink_ndjson('{out}')
"""
POLARS_CSV = """
import polars as pl
pl.scan_csv('{src}', infer_schema=False).sort(['country', 'ts'], maintain_order=True)\\
    .sink_csv('{out}')
"""


def run_once(cmd, env=None):
    """Wall and CPU seconds and peak RSS (MiB) of one run of cmd, from its own rusage."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(cmd)}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def race(title, contenders, rounds, work, check):
    """contenders: (name, argv, env, output path); the first is ours, the rest peers."""
    runs = {name: [] for name, *_ in contenders}
    for _ in range(rounds):
        for name, cmd, env, out in contenders:
            if os.path.exists(out):
                os.unlink(out)
            os.sync()
            runs[name].append(run_once(cmd, env))
    check(contenders)
    med = {k: tuple(statistics.median(r[i] for r in v) for i in range(3)) for k, v in runs.items()}
    ours = contenders[0][0]
    rows = []
    for name, (wall, cpu, rss) in med.items():
        ratio = "" if name == ours else f"{med[ours][0] / wall:.2f}x"
        rows.append(f"| {title} | {name} | {wall:.2f} | {cpu:.2f} | {rss:.0f} | {ratio} |")
    for r in rows:
        print(r, flush=True)
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", default=None)
    ap.add_argument("--only", default="logs,jsonl,csv")
    args = ap.parse_args()
    only = set(args.only.split(","))
    py = sys.executable
    tessarune = [py, "-m", "tessarune", "--threads", str(THREADS)]
    sort = shutil.which("sort")
    work = tempfile.mkdtemp(prefix="keyed-bench-", dir=args.dir)
    env_c = dict(os.environ, LC_ALL="C")
    env_pl = dict(os.environ, POLARS_MAX_THREADS=str(THREADS))
    print(f"| {args.mib} MiB, median of {args.rounds} | contender | wall s | cpu s | peak RSS MiB "
          f"| tessarune / contender (wall) |")
    print("|---|---|---|---|---|---|")
    try:
        ours, theirs = os.path.join(work, "ours"), os.path.join(work, "theirs")
        if "logs" in only:
            src = os.path.join(work, "logs.txt")
            keyed_data.write("logs", src, args.mib << 20)

            def identical(contenders):
                if not same_files(contenders[0][3], contenders[1][3]):
                    sys.exit("outputs differ")

            for keys in (["-k2,2"], ["-k5,5n"], ["-k3,3", "-k1,1"]):
                race(" ".join(keys), [
                    ("tessarune", tessarune + ["-S", "32M", "-T", work, "-o", ours, *keys, src],
                     None, ours),
                    ("sort", [sort, "-S", "32M", f"--parallel={THREADS}", "-T", work, "-o",
                              theirs, *keys, src], env_c, theirs),
                ], args.rounds, work, identical)
            os.unlink(src)
        for kind, key, scripts in (
                ("jsonl", "user.id,ts", (DUCKDB_JSON, POLARS_JSON)),
                ("csv", "country,ts", (DUCKDB_CSV, POLARS_CSV))):
            if kind not in only:
                continue
            src = os.path.join(work, f"records.{kind}")
            keyed_data.write(kind, src, args.mib << 20)
            duck, polars = os.path.join(work, "duck"), os.path.join(work, "polars")
            fmt = dict(src=src, tmp=work, threads=THREADS)
            race(f"{kind} by {key}", [
                ("tessarune", tessarune + ["-S", "64M", "-T", work, f"--{kind}", "-k", key, "-o",
                                           ours, src], None, ours),
                ("duckdb", [py, "-c", scripts[0].format(out=duck, **fmt)], None, duck),
                ("polars", [py, "-c", scripts[1].format(out=polars, **fmt)], env_pl, polars),
            ], args.rounds, work, lambda c: None)
            os.unlink(src)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
