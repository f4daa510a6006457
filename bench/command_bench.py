"""The native tessarune command raced against the sort command, both in the C locale or both
in the locale --locale names.

Three races, printed as one markdown table with the target of each row beside its figures:
- a 3-line file, the whole process (start-up, reading, writing, exit), in --pairs alternated
  pairs: tessarune should take at most 3x sort's wall time;
- --mib MiB of random lines (the whole line) and of log lines (the whole line, -k2,2, -k5,5n,
  -k3,3 -k1,1), `-S 32M --parallel=2` for both, in --rounds alternated rounds: at most 0.4x
  sort's wall time. Neither gets -s, so the last-resort comparison of whole lines is part of
  the work, as it is for anyone who types the command;
- the peak resident memory of one run with `-S 32M` on --rss-mib MiB of random lines: at most
  1.25x sort's.
With --locale (en_US.UTF-8, say) the races of lines are the whole line and -k2,2 of random and
of log lines, where tessarune should take at most 0.5x sort's wall time in that locale.
Wall and CPU (user + sys, from the child's own rusage) are medians; RSS is the largest of the
runs. Each case's two outputs are compared after its first round, so a wrong result or a
failed run is reported as such, never as a time; the exit status is then 1.

    .venv/bin/python bench/command_bench.py [--tessarune PATH] [--mib 256] [--rss-mib 1024]
        [--rounds 3] [--pairs 15] [--dir DIR] [--keep] [--only tiny,random,logs,rss]
        [--locale NAME]

With --keep the inputs stay in --dir (by default /tmp/tessarune-command-bench) and a later
run with the same sizes reuses them; without it they go with everything else at exit.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import keyed_data  # noqa: E402

WALL_TINY = 3.0
WALL_LARGE = 0.4
WALL_LOCALE = 0.5
LOCALE_KEYS = [[], ["-k2,2"]]
RSS_TARGET = 1.25
LARGE = ["-S", "32M", "--parallel=2"]
LOG_KEYS = [[], ["-k2,2"], ["-k5,5n"], ["-k3,3", "-k1,1"]]
TINY_INPUT = b"pear\napple\nfig\n"
CONTENDERS = ("tessarune", "sort")


class Failed(Exception):
    """A run that cannot be timed: a non-zero status or an output unlike sort's."""


# Forks and times the command for us. A child of this Python process would inherit its
# peak resident set as a floor under ru_maxrss (tens of MiB after making the inputs), since
# exec keeps the high-water mark of the memory it replaces; a child of this small launcher
# starts from the launcher's, and the launcher reports the child's rusage alone.
LAUNCHER_C = r"""
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 3) return 125;
  FILE *report = fopen(argv[1], "w");
  if (!report) return 125;
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    fclose(report);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 125;
  clock_gettime(CLOCK_MONOTONIC, &end);
  fprintf(report, "%.9f %.6f %ld\n",
          (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
          (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
          usage.ru_maxrss);
  if (fclose(report) != 0) return 125;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
"""


def build_launcher(work):
    source, exe = os.path.join(work, "launcher.c"), os.path.join(work, "launcher")
    with open(source, "w") as f:
        f.write(LAUNCHER_C)
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc:
        sys.exit("needs a C compiler (cc) for the launcher that measures each run")
    subprocess.run([cc, "-O2", "-o", exe, source], check=True)
    return exe


class Launcher:
    def __init__(self, work, locale):
        self.exe = build_launcher(work)
        self.report = os.path.join(work, "rusage")
        self.locale = locale

    def run(self, argv, stdout=subprocess.DEVNULL):
        """(wall, cpu, max_rss_kib) of one run of argv, in the race's locale."""
        env = {**os.environ, "LC_ALL": self.locale}
        proc = subprocess.run([self.exe, self.report, *argv], stdout=stdout,
                              stderr=subprocess.PIPE, env=env)
        if proc.returncode != 0:
            raise Failed(f"{argv[0]} exited with {proc.returncode}: "
                         f"{proc.stderr.decode(errors='replace').strip()[:200]}")
        with open(self.report) as f:
            wall, cpu, rss = f.read().split()
        return float(wall), float(cpu), int(rss)


def same_contents(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def race(launcher, commands, outputs, rounds, via_stdout=False):
    """Runs commands[name] alternately for rounds; returns {name: [(wall, cpu, rss)]}.

    Each command writes outputs[name] (through -o in its argv, or its stdout when via_stdout).
    """
    runs = {name: [] for name in commands}
    for round_no in range(rounds):
        for name, argv in commands.items():
            out = outputs[name]
            # A fresh file each run: one command may rewrite an old output in place while the
            # other replaces it, and freeing the old pages belongs to neither's time.
            if os.path.exists(out):
                os.unlink(out)
            if via_stdout:
                with open(out, "wb") as f:
                    runs[name].append(launcher.run(argv, stdout=f))
            else:
                # What the run before left to write back goes to disk now, not during this run.
                os.sync()
                runs[name].append(launcher.run(argv))
        if round_no == 0 and not same_contents(outputs["tessarune"], outputs["sort"]):
            raise Failed("the output differs from sort's")
    return runs


def summary(runs):
    return {name: (statistics.median(r[0] for r in rs), statistics.median(r[1] for r in rs),
                   max(r[2] for r in rs)) for name, rs in runs.items()}


def ratio(a, b):
    return a / b if b > 0 else float("inf")


class Table:
    HEADER = ("| case | tessarune wall s | sort wall s | wall ratio | tessarune cpu s | "
              "sort cpu s | cpu ratio | tessarune RSS MiB | sort RSS MiB | RSS ratio | "
              "target | met |")

    def __init__(self):
        self.rows = []
        self.failures = 0

    def add(self, case, runs, target_name, limit):
        s = summary(runs)
        (tw, tc, tr), (sw, sc, sr) = s["tessarune"], s["sort"]
        wall_ratio, rss_ratio = ratio(tw, sw), ratio(tr, sr)
        measured = rss_ratio if target_name == "RSS" else wall_ratio
        met = "yes" if measured <= limit else "**no**"
        self.rows.append(
            f"| {case} | {tw:.4f} | {sw:.4f} | {wall_ratio:.2f}x | {tc:.4f} | {sc:.4f} | "
            f"{ratio(tc, sc):.2f}x | {tr / 1024:.1f} | {sr / 1024:.1f} | {rss_ratio:.2f}x | "
            f"{target_name} <= {limit}x | {met} |")

    def fail(self, case, why, target_name, limit):
        self.failures += 1
        self.rows.append(f"| {case} | **{why}** |" + " |" * 8 + f" {target_name} <= {limit}x | "
                         "**no** |")

    def print(self):
        print(self.HEADER)
        print("|" + "---|" * (self.HEADER.count("|") - 1))
        for row in self.rows:
            print(row)


def input_file(data_dir, kind, mib):
    """The input of that kind and size in data_dir, made unless a complete one is there."""
    path = os.path.join(data_dir, f"{kind}-{mib}M.txt")
    if not os.path.exists(path):
        print(f"making {mib} MiB of {kind} lines...", file=sys.stderr, flush=True)
        # Renamed into place only when whole, so that --keep never reuses a cut-off file.
        partial = path + ".partial"
        keyed_data.write(kind, partial, mib << 20, seed=1)
        os.replace(partial, path)
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tessarune", default=shutil.which("tessarune"),
                    help="the executable to race (default: tessarune on PATH)")
    ap.add_argument("--sort", default=shutil.which("sort"), help=argparse.SUPPRESS)
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--rss-mib", type=int, default=1024)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--pairs", type=int, default=15)
    ap.add_argument("--dir", help="where the inputs go (default: a temp dir under /tmp)")
    ap.add_argument("--keep", action="store_true", help="keep the inputs in --dir for next time")
    ap.add_argument("--only", default="tiny,random,logs,rss")
    ap.add_argument("--locale", default="C", help="LC_ALL for both commands (default: C)")
    args = ap.parse_args()
    if not args.tessarune or not os.access(args.tessarune, os.X_OK):
        sys.exit("no tessarune executable: give --tessarune PATH")
    if not args.sort:
        sys.exit("needs the sort command")
    if args.rounds < 1 or args.pairs < 1:
        sys.exit("--rounds and --pairs must be at least 1")
    only = set(args.only.split(","))
    if only - {"tiny", "random", "logs", "rss"}:
        sys.exit(f"--only: unknown cases {sorted(only - {'tiny', 'random', 'logs', 'rss'})}")

    if args.keep:
        data_dir = args.dir or os.path.join(tempfile.gettempdir(), "tessarune-command-bench")
        os.makedirs(data_dir, exist_ok=True)
    else:
        data_dir = tempfile.mkdtemp(prefix="command-bench-data-", dir=args.dir)
    # Outputs and both commands' spill files: always fresh, always removed.
    work = tempfile.mkdtemp(prefix="command-bench-work-", dir=args.dir)
    outputs = {name: os.path.join(work, f"out.{name}") for name in CONTENDERS}
    exes = {"tessarune": args.tessarune, "sort": args.sort}
    table = Table()

    def case(title, target_name, limit, options, rounds, via_stdout=False):
        try:
            commands = {n: [exes[n], *options(n)] for n in CONTENDERS}
            table.add(title, race(launcher, commands, outputs, rounds, via_stdout),
                      target_name, limit)
        except Failed as e:
            table.fail(title, str(e).replace("|", "/").replace("\n", " "), target_name, limit)
        for out in outputs.values():
            if os.path.exists(out):
                os.unlink(out)

    def large(kind, keys_list, mib, flags, target_name, limit, rounds, prefix=""):
        src = input_file(data_dir, kind, mib)
        for keys in keys_list:
            title = f"{prefix}{mib} MiB {kind} lines, {' '.join(keys) or 'whole line'}"
            case(title, target_name, limit,
                 lambda n: [*flags, *keys, "-T", work, "-o", outputs[n], src], rounds)
        if not args.keep:  # the disk is shared: a gibibyte input should not outlive its race
            os.unlink(src)

    try:
        launcher = Launcher(work, args.locale)
        in_c = args.locale in ("C", "POSIX")
        random_keys, log_keys = ([[]], LOG_KEYS) if in_c else (LOCALE_KEYS, LOCALE_KEYS)
        large_limit = WALL_LARGE if in_c else WALL_LOCALE
        if "tiny" in only:
            tiny = os.path.join(work, "tiny.txt")
            with open(tiny, "wb") as f:
                f.write(TINY_INPUT)
            case(f"3-line file, {args.pairs} pairs", "wall", WALL_TINY, lambda n: [tiny],
                 args.pairs, via_stdout=True)
        if "random" in only:
            large("random", random_keys, args.mib, LARGE, "wall", large_limit, args.rounds)
        if "logs" in only:
            large("logs", log_keys, args.mib, LARGE, "wall", large_limit, args.rounds)
        if "rss" in only:
            large("random", [[]], args.rss_mib, ["-S", "32M"], "RSS", RSS_TARGET, 1,
                  prefix="peak RSS at -S 32M, ")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if not args.keep:
            shutil.rmtree(data_dir, ignore_errors=True)

    print(f"tessarune: {args.tessarune}; sort: {args.sort}; LC_ALL={args.locale}; "
          f"{os.cpu_count()} CPUs; wall and cpu are medians, RSS the peak\n")
    table.print()
    sys.exit(1 if table.failures else 0)


if __name__ == "__main__":
    main()
