"""Typed, directed keys of records against DuckDB and Polars: event records ordered by country
ascending, amount (a number, null or missing) descending with nulls last, then ts (ISO text with
mixed offsets) as the instant it names, ascending. Three cases, on the same records:

- JSON Lines: {"user": {"id", "country", "plan"}, "ts", "event", "amount", "tags": [...], "note"};
- CSV: the same records flattened (user_id,country,plan,ts,event,amount,tags,note), an empty
  cell for a null or missing amount;
- the JSON Lines gzip-compressed, which every contender reads directly.

Each round runs every contender once, in turn, so that all see the same machine; the tables give
the median wall and CPU (user + sys of the process and the children it waited for) of the
rounds, and the largest peak RSS. tessarune gets `-S 64M --threads 2`, DuckDB 2 threads and a
256 MB memory limit, Polars 2 threads (POLARS_MAX_THREADS); the peers' times include starting
Python and importing their module, as tessarune's include starting the command.

After the rounds, tessarune's output must be byte for byte the input's records in the order of
Python's stable sort on the three keys (json, csv, datetime.fromisoformat); the peers' outputs,
which are of their own making (DuckDB writes ts in UTC, both write 425 as 425.0), must hold the
same sequence of keys, and the report says whether their ties kept the input order too.

    python bench/records_bench.py --tessarune build/bench/tessarune [--mib 256] [--rounds 3]
        [--dir DIR] [--keep] [--only jsonl,csv,gz] [--stats]

The Python that runs it must import duckdb and polars (the `bench` extra). With --keep the inputs
stay in --dir (by default /tmp/tessarune-records-bench) for a later run of the same size. With
--stats, and whenever tessarune misses its target, one more untimed run of tessarune with
--stats prints where its time went. The exit status is 1 when any output is wrong or any run
failed.
"""

import argparse
import csv
import gzip
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta, timezone

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import keyed_data  # noqa: E402
from command_bench import build_launcher  # noqa: E402

THREADS = 2
TESSARUNE_FLAGS = ["-S", "64M", "--threads", str(THREADS)]
JSON_KEYS = "user.country,amount:number:desc:nulls_last,ts:timestamp"
CSV_KEYS = "country,amount:number:desc:nulls_last,ts:timestamp"
TARGETS = {"jsonl": 0.5, "csv": 0.5, "gz": 0.6}
CASES = {"jsonl": "JSON Lines", "csv": "CSV", "gz": "JSON Lines .gz"}
PLANS = ["free", "pro", "team", "enterprise"]
# (minutes east of UTC, as written): the same instant is written in several ways, so the
# order of the text is not the order of the instants.
OFFSETS = [(0, "Z"), (0, "+00:00"), (120, "+02:00"), (-300, "-05:00"), (330, "+05:30"),
           (60, "+01:00"), (-480, "-08:00")]

DUCKDB = """
import duckdb
c = duckdb.connect()
c.execute("SET memory_limit='256MB'; SET threads={threads}; SET temp_directory='{tmp}'")
c.execute("COPY (SELECT * FROM {reader}('{src}') ORDER BY {country}, amount DESC NULLS LAST, "
          "ts::TIMESTAMPTZ) TO '{out}' (FORMAT {fmt})")
"""
POLARS = """
import polars as pl
ts = pl.col('ts').str.to_datetime(format='%Y-%m-%dT%H:%M:%S%.f%#z', time_zone='UTC')
pl.{scan}('{src}').sort([{country}, 'amount', ts], descending=[False, True, False],
                        nulls_last=[False, True, False], maintain_order=True).{sink}('{out}')
"""
PEER_SETUP = {
    "jsonl": dict(reader="read_json", country="user.country", fmt="json", scan="scan_ndjson",
                  pl_country="pl.col('user').struct.field('country')", sink="sink_ndjson"),
    "csv": dict(reader="read_csv", country="country", fmt="csv, HEADER", scan="scan_csv",
                pl_country="'country'", sink="sink_csv"),
}


# ---- the records ------------------------------------------------------------------------------

def _stamp(rnd):
    # Half on whole minutes, so that equal instants, written with different offsets, tie.
    instant = 1_767_225_600 + rnd.randrange(0, 90 * 1440) * 60
    if rnd.random() < 0.5:
        instant += rnd.randrange(60)
    minutes, suffix = rnd.choice(OFFSETS)
    text = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(instant + minutes * 60))
    r = rnd.random()
    if r < 0.25:
        text += f".{rnd.randrange(1000):03d}"
    elif r < 0.35:
        text += f".{rnd.randrange(1_000_000):06d}"
    return text + suffix


def _records(rnd):
    """(JSON line, CSV line) of each record, the same record in both."""
    dumps = json.dumps
    while True:
        note = " ".join(rnd.choices(keyed_data.WORDS, k=rnd.randint(1, 3)))
        if rnd.random() < 0.125:
            note += ", again"
        user = {"id": rnd.randrange(1, 1_000_000), "country": rnd.choice(keyed_data.COUNTRIES),
                "plan": rnd.choice(PLANS)}
        ev = {"user": user, "ts": _stamp(rnd), "event": rnd.choice(keyed_data.EVENTS)}
        r = rnd.random()
        if r < 0.7:
            ev["amount"] = round(rnd.uniform(0, 1000), 2)
        elif r < 0.8:
            ev["amount"] = rnd.randrange(0, 1001)
        elif r < 0.9:
            ev["amount"] = None
        amount = ev.get("amount")  # else missing
        ev["tags"] = rnd.sample(keyed_data.TAGS, rnd.randint(0, 2))
        ev["note"] = note
        yield (dumps(ev) + "\n",
               f'{user["id"]},{user["country"]},{user["plan"]},{ev["ts"]},{ev["event"]},'
               f'{"" if amount is None else amount},{"|".join(ev["tags"])},"{note}"\n')


def make_inputs(data_dir, mib):
    """{kind: path} of the three inputs, made unless complete ones are there."""
    base = os.path.join(data_dir, f"records-{mib}M")
    paths = {"jsonl": base + ".jsonl", "csv": base + ".csv", "gz": base + ".jsonl.gz"}
    if all(os.path.exists(p) for p in paths.values()):
        return paths
    print(f"making {mib} MiB of records...", file=sys.stderr, flush=True)
    records = _records(random.Random(1))
    # Renamed into place only when whole, so that --keep never reuses a cut-off file.
    with open(paths["jsonl"] + ".partial", "w", encoding="utf-8", newline="") as fj, \
            open(paths["csv"] + ".partial", "w", encoding="utf-8", newline="") as fc:
        fc.write("user_id,country,plan,ts,event,amount,tags,note\n")
        written = 0
        while written < mib << 20:
            pairs = [next(records) for _ in range(10000)]
            block = "".join(j for j, _ in pairs)
            fj.write(block)
            fc.write("".join(c for _, c in pairs))
            written += len(block)
    with open(paths["jsonl"] + ".partial", "rb") as src, \
            gzip.open(paths["gz"] + ".partial", "wb", compresslevel=6) as dst:
        shutil.copyfileobj(src, dst, 1 << 20)
    for p in paths.values():
        os.replace(p + ".partial", p)
    return paths


# ---- the order, computed in Python ------------------------------------------------------------

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
ONE_US = timedelta(microseconds=1)


def instant_us(text):
    dt = datetime.fromisoformat(text)
    if dt.tzinfo is None:
        dt = dt.replace(tzinfo=timezone.utc)
    return (dt - EPOCH) // ONE_US


def _number(cell):
    cell = cell.strip(" \t")
    return None if cell == "" else float(cell)


def json_keys(lines):
    """(country, amount, ts in µs, user id) of each JSON line."""
    out = []
    for line in lines:
        ev = json.loads(line)
        out.append((ev["user"]["country"], ev.get("amount"), instant_us(ev["ts"]),
                    ev["user"]["id"]))
    return out


def csv_keys(lines):
    """The same of each CSV line after the header (no record of these spans lines)."""
    rows = csv.reader(line.decode() for line in lines)
    names = next(rows)
    c, a, t, u = (names.index(n) for n in ("country", "amount", "ts", "user_id"))
    return [(r[c], _number(r[a]), instant_us(r[t]), int(r[u])) for r in rows]


def sort_key(k):
    country, amount, ts, _ = k
    return country, (1, 0) if amount is None else (0, -amount), ts


def read_lines(path):
    with open(path, "rb") as f:
        return f.readlines()


class Expected:
    """The input's records in the order of Python's stable sort, and their keys."""

    def __init__(self, kind, path):
        self.kind = kind
        lines = read_lines(path)
        self.header = lines[:1] if kind == "csv" else []
        body = lines[len(self.header):]
        keys = csv_keys(lines) if kind == "csv" else json_keys(lines)
        if len(keys) != len(body):
            raise SystemExit(f"{path}: a record spans lines; the check cannot read it")
        order = sorted(range(len(body)), key=lambda i: sort_key(keys[i]))
        self.lines = self.header + [body[i] for i in order]
        self.keys = [keys[i] for i in order]

    def check_exact(self, path):
        """None if the file is the expected records byte for byte, else what differs."""
        got = read_lines(path)
        for i, (g, w) in enumerate(zip(got, self.lines)):
            if g != w:
                return f"record {i} differs: {g[:100]!r}, expected {w[:100]!r}"
        if len(got) != len(self.lines):
            return f"{len(got)} lines, expected {len(self.lines)}"
        return None

    def check_keys(self, path):
        """(None or what differs, whether ties are in input order) of a peer's output."""
        lines = read_lines(path)
        got = csv_keys(lines) if self.kind == "csv" else json_keys(lines)
        for i, (g, w) in enumerate(zip(got, self.keys)):
            if g[:3] != w[:3]:
                return f"record {i} has key {g[:3]}, expected {w[:3]}", False
        if len(got) != len(self.keys):
            return f"{len(got)} records, expected {len(self.keys)}", False
        return None, got == self.keys


# ---- running and timing -----------------------------------------------------------------------

class Failed(Exception):
    pass


class Runner:
    def __init__(self, work):
        self.exe = build_launcher(work)
        self.report = os.path.join(work, "rusage")

    def run(self, argv, env=None):
        """(wall s, cpu s, peak RSS KiB) of one run of argv, and its standard error."""
        proc = subprocess.run([self.exe, self.report, *argv], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        err = proc.stderr.decode(errors="replace")
        if proc.returncode != 0:
            raise Failed(f"exit {proc.returncode}: {err.strip()[-300:]}")
        with open(self.report) as f:
            wall, cpu, rss = f.read().split()
        return (float(wall), float(cpu), int(rss)), err


def contenders(kind, src, tessarune, work):
    """{name: (argv, env, output)}; tessarune first."""
    fmt = "csv" if kind == "csv" else "jsonl"
    out = {n: os.path.join(work, f"out.{n}.{fmt}") for n in ("tessarune", "duckdb", "polars")}
    setup = PEER_SETUP[fmt]
    py = sys.executable
    duck_tmp = os.path.join(work, "duckdb.tmp")
    return {
        "tessarune": ([tessarune, f"--{fmt}", "-k", CSV_KEYS if fmt == "csv" else JSON_KEYS,
                       *TESSARUNE_FLAGS, "-T", work, "-o", out["tessarune"], src],
                      None, out["tessarune"]),
        "duckdb": ([py, "-c", DUCKDB.format(reader=setup["reader"], src=src, out=out["duckdb"],
                                            country=setup["country"], fmt=setup["fmt"],
                                            threads=THREADS, tmp=duck_tmp)],
                   None, out["duckdb"]),
        "polars": ([py, "-c", POLARS.format(scan=setup["scan"], src=src, out=out["polars"],
                                            country=setup["pl_country"], sink=setup["sink"])],
                   dict(os.environ, POLARS_MAX_THREADS=str(THREADS)), out["polars"]),
    }


def race(runner, commands, rounds):
    """{name: [(wall, cpu, rss)]} or {name: Failed} after rounds of alternated runs."""
    runs = {name: [] for name in commands}
    for _ in range(rounds):
        for name, (argv, env, out) in commands.items():
            if isinstance(runs[name], Failed):
                continue
            if os.path.exists(out):
                os.unlink(out)
            os.sync()  # what the run before left to write back is not this run's time
            try:
                runs[name].append(runner.run(argv, env)[0])
            except Failed as e:
                runs[name] = e
    return runs


def summary(rs):
    return (statistics.median(r[0] for r in rs), statistics.median(r[1] for r in rs),
            max(r[2] for r in rs) / 1024)


def load():
    return "/".join(f"{x:.2f}" for x in os.getloadavg())


def check(title, commands, runs, want):
    """Notes on each contender's output; a wrong one's runs become a Failed."""
    notes = []
    for name, (_, _, out) in commands.items():
        if isinstance(runs[name], Failed):
            verdict = f"failed: {runs[name]}"
        elif name == "tessarune":
            wrong = want.check_exact(out)
            verdict = f"**wrong**: {wrong}" if wrong else "byte-identical to Python's stable sort"
        else:
            wrong, stable = want.check_keys(out)
            verdict = (f"**wrong**: {wrong}" if wrong else "keys in order; ties " +
                       ("in input order" if stable else "not in input order"))
        if not isinstance(runs[name], Failed) and wrong:
            runs[name] = Failed(verdict)
        if os.path.exists(out):
            os.unlink(out)
        notes.append(f"{title}, {name}: {verdict} ({len(want.keys)} records)")
    return notes


def table_rows(title, target, runs):
    """(the summary row, the rows of each contender, whether tessarune met its target)."""
    ok = {n: summary(r) for n, r in runs.items() if not isinstance(r, Failed)}
    details = [f"| {title} | {n} | " + ("{:.2f} | {:.2f} | {:.0f} |".format(*ok[n]) if n in ok
                                         else "failed | | |") for n in runs]
    peers = [n for n in ("duckdb", "polars") if n in ok]
    if "tessarune" not in ok or not peers:
        return f"| {title} | **failed** |" + " |" * 4 + f" <= {target}x | **no** |" + " |" * 3, \
            details, False
    tw, tc, tm = ok["tessarune"]
    best = min(peers, key=lambda n: ok[n][0])
    pw, pc, _ = ok[best]
    rss = {n: f"{ok[n][2]:.0f}" if n in ok else "failed" for n in ("duckdb", "polars")}
    met = tw / pw <= target
    return (f"| {title} | {tw:.2f} / {tc:.2f} | {best} | {pw:.2f} / {pc:.2f} | {tw / pw:.2f}x | "
            f"{tc / pc:.2f}x | <= {target}x | {'yes' if met else '**no**'} | {tm:.0f} | "
            f"{rss['duckdb']} | {rss['polars']} |"), details, met


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tessarune", default=shutil.which("tessarune"))
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", help="where inputs, outputs and spills go (default: under /tmp)")
    ap.add_argument("--keep", action="store_true", help="keep the inputs for next time")
    ap.add_argument("--only", default="jsonl,csv,gz")
    ap.add_argument("--stats", action="store_true", help="print tessarune's --stats of each case")
    args = ap.parse_args()
    if not args.tessarune or not os.access(args.tessarune, os.X_OK):
        sys.exit("no tessarune executable: give --tessarune PATH")
    only = [c for c in CASES if c in args.only.split(",")]
    if not only or set(args.only.split(",")) - set(CASES):
        sys.exit(f"--only: a comma-separated choice of {','.join(CASES)}")
    versions = subprocess.run([sys.executable, "-c", "import duckdb, polars; "
                               "print(duckdb.__version__, polars.__version__)"],
                              capture_output=True, text=True)
    if versions.returncode != 0:
        sys.exit(f"{sys.executable} does not import duckdb and polars (the bench extra)")
    duck_v, polars_v = versions.stdout.split()

    if args.keep:
        data_dir = args.dir or os.path.join(tempfile.gettempdir(), "tessarune-records-bench")
        os.makedirs(data_dir, exist_ok=True)
    else:
        data_dir = tempfile.mkdtemp(prefix="records-bench-data-", dir=args.dir)
    work = tempfile.mkdtemp(prefix="records-bench-work-", dir=args.dir)
    rows, details, notes, failures = [], [], [], 0
    try:
        runner = Runner(work)
        inputs = make_inputs(data_dir, args.mib)
        sizes = ", ".join(f"{CASES[c]} {os.path.getsize(inputs[c]) / 2**20:.0f} MiB"
                          for c in only)
        expected = {}
        for case in only:
            title = CASES[case]
            commands = contenders(case, inputs[case], args.tessarune, work)
            before = load()
            runs = race(runner, commands, args.rounds)
            notes.append(f"{title}: load average (1/5/15 min) {before} before, {load()} after")
            kind = "csv" if case == "csv" else "jsonl"
            if kind not in expected:
                expected[kind] = Expected(kind, inputs[kind])
            notes += check(title, commands, runs, expected[kind])
            failures += sum(isinstance(r, Failed) for r in runs.values())
            row, case_details, met = table_rows(title, TARGETS[case], runs)
            rows.append(row)
            details += case_details
            if (args.stats or not met) and not isinstance(runs["tessarune"], Failed):
                argv = commands["tessarune"][0]
                try:
                    err = runner.run(argv[:1] + ["--stats"] + argv[1:])[1]
                except Failed as e:
                    err = str(e)
                notes.append(f"{title}, tessarune --stats:\n{err.rstrip()}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if not args.keep:
            shutil.rmtree(data_dir, ignore_errors=True)

    print(f"{sizes}; median of {args.rounds} rounds; tessarune {' '.join(TESSARUNE_FLAGS)}; "
          f"DuckDB {duck_v} (2 threads, 256 MB), Polars {polars_v} (2 threads); "
          f"{os.cpu_count()} CPUs\n")
    print("| case | tessarune wall / cpu s | fastest peer | its wall / cpu s | wall ratio | "
          "cpu ratio | target (wall) | met | tessarune RSS MiB | DuckDB RSS MiB | "
          "Polars RSS MiB |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    print("\n".join(rows))
    print("\n| case | contender | wall s | cpu s | peak RSS MiB |\n|---|---|---|---|---|")
    print("\n".join(details))
    print()
    print("\n".join(notes))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
