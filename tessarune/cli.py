"""tessarune [OPTIONS] [FILE ...]: sort lines, JSON Lines or CSV larger than memory.

Options that have a spelling in the traditional sort command mean what they mean there in
the C locale; the result is always stable.
"""

import argparse
import os
import re
import signal
import sys

from .cli_files import FileError, check_inputs, open_input, plug_standard_descriptors, say
from .cli_formats import InputError
from .cli_output import StandardOutput, output_file
from .cli_progress import Progress
from .cli_signals import Stopped, StopSignals
from .files import OpenOnWrite, make_plan, sort_with_plan
from .merging import Disorder, ReadError, check_with_plan, merge_with_plan

PROG = "tessarune"
# The least memory a sort is given, whatever -S says: with less than a few run blocks' worth
# every run holds a handful of records, and the merge of thousands of runs costs seconds where
# the whole sort takes a tenth of one.
MIN_MAX_BYTES = 64 << 10
MAX_THREADS = 1024  # the sorter's own limit
_INT64_MAX = (1 << 63) - 1

# Options of the traditional command that this one does not offer: named, not guessed at.
UNSUPPORTED_LONG = {
    "compress-program": "spilled runs are always compressed with LZ4",
    "debug": "it has no annotated output",
}
# The ordering options that have no parameter of make_plan of their own, with their long names.
ORDERINGS = {"d": "dictionary-order", "f": "ignore-case", "g": "general-numeric-sort",
             "h": "human-numeric-sort", "i": "ignore-nonprinting", "M": "month-sort",
             "R": "random-sort", "V": "version-sort"}
SORT_WORDS = {"general-numeric": "g", "human-numeric": "h", "month": "M", "numeric": "n",
              "random": "R", "version": "V"}
CHECK_WORDS = {"quiet": "quiet", "silent": "quiet", "diagnose-first": "diagnose-first"}

USAGE = f"""usage: {PROG} [OPTIONS] [FILE ...]
Sort lines (default), JSON Lines (--jsonl) or CSV (--csv) read from the FILEs, or standard
input when there is none or FILE is -, in bounded memory. Equal keys keep their input order.

Formats:
      --jsonl               each line is a JSON value
      --csv                 comma-separated values; the header row stays first
      --delimiter C         the CSV delimiter (default ,)
Keys:
  -k, --key KEYDEF          lines: POS1[,POS2], POS = F[.C][OPTS] with OPTS of bdfghiMnRrV,
                            repeatable; --jsonl: PATH[,PATH...] dotted paths;
                            --csv: COLUMN[,COLUMN...]
  -t, --field-separator SEP fields of lines end at SEP instead of at blanks
  -b, --ignore-leading-blanks  ignore leading blanks of keys
  -d, --dictionary-order    only blanks, letters and digits count
  -f, --ignore-case         fold lower case to upper case
  -g, --general-numeric-sort  compare floating-point numbers
  -h, --human-numeric-sort  compare numbers with SI units (2K, 1G)
  -i, --ignore-nonprinting  only printable characters count
  -M, --month-sort          (unknown) < JAN < ... < DEC
  -n, --numeric-sort        compare numbers as GNU reads them (CSV: in the key columns)
  -R, --random-sort         shuffle, keeping equal keys together
      --random-source FILE  take the shuffle from FILE's bytes
  -V, --version-sort        natural order of version numbers in text
      --sort WORD           general-numeric -g, human-numeric -h, month -M, numeric -n,
                            random -R, version -V
  -r, --reverse             reverse the order (equal keys still keep input order)
  -u, --unique              keep only the first item of each run of equal keys
  -z, --zero-terminated     lines end with NUL, not newline
  -s, --stable              accepted; always on
Other modes (lines):
  -c, --check[=diagnose-first]  check that the input is sorted; report the first disorder
  -C, --check=quiet, --check=silent  the same, with no report: only the exit status
  -m, --merge               merge files that are already sorted, streaming (each is checked)
      --files0-from F       read the input names from F, each ended by NUL (- : standard input)
Resources:
  -S, --max-bytes, --buffer-size SIZE  memory for items (K, M, G suffixes; default 256M;
                                       less than 64K counts as 64K)
      --threads, --parallel N          sorting threads (default: CPUs, at most 8)
  -T, --tmp-dir, --temporary-directory DIR  where to spill (repeated: the first usable)
      --max-open, --batch-size N       runs merged at once (default 64)
Output:
  -o, --output FILE         write to FILE, replaced only once the sort succeeded (a link's
                            target is replaced; a FIFO or device is written to directly)
      --progress, --no-progress  show progress on standard error (default: if a terminal)
      --stats               print what the sort did to standard error
      --help                show this help
      --version             print the version
"""


class UsageError(Exception):
    """Exit status 2 with the message."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


class ArgumentError(Exception):
    """An option's argument that is not one of its words: exit status 1, as the traditional
    command has it."""


class _Unsupported(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        why = UNSUPPORTED_LONG[option_string.lstrip("-")]
        raise UsageError(f"option {option_string} is not supported: {why}")


_CHECK_WORD = "--check-word"


def _with_check_words(argv):
    """argv with each --check=WORD spelled as an option that always takes its argument."""
    out = []
    for i, a in enumerate(argv):
        if a == "--":
            return out + argv[i:]
        out.append(_CHECK_WORD + a[len("--check"):] if a.startswith("--check=") else a)
    return out


def _parser():
    p = _Parser(prog=PROG, add_help=False, allow_abbrev=False)
    p.add_argument("files", nargs="*")
    p.add_argument("--help", action="store_true")
    p.add_argument("--version", action="store_true")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--jsonl", action="store_true")
    fmt.add_argument("--csv", action="store_true")
    p.add_argument("--delimiter")
    p.add_argument("-k", "--key", action="append", default=[])
    p.add_argument("-t", "--field-separator")
    p.add_argument("-b", "--ignore-leading-blanks", action="store_true")
    p.add_argument("-n", "--numeric-sort", action="store_true")
    for letter, name in ORDERINGS.items():
        p.add_argument(f"-{letter}", f"--{name}", dest=f"order_{letter}", action="store_true")
    p.add_argument("--sort", action="append", default=[])
    p.add_argument("--random-source")
    p.add_argument("-c", dest="check", action="append_const", const="diagnose-first")
    p.add_argument("-C", dest="check", action="append_const", const="quiet")
    # --check takes its word only as --check=WORD: "--check FILE" checks FILE.
    p.add_argument("--check", dest="check", action="append_const", const="diagnose-first")
    p.add_argument(_CHECK_WORD, dest="check_word", action="append", help=argparse.SUPPRESS)
    p.add_argument("-m", "--merge", action="store_true")
    p.add_argument("--files0-from")
    p.add_argument("-r", "--reverse", action="store_true")
    p.add_argument("-u", "--unique", action="store_true")
    p.add_argument("-z", "--zero-terminated", action="store_true")
    p.add_argument("-s", "--stable", action="store_true")
    p.add_argument("-S", "--max-bytes", "--buffer-size", default="256M")
    p.add_argument("--threads", "--parallel", type=int)
    p.add_argument("-T", "--tmp-dir", "--temporary-directory", action="append")
    p.add_argument("--max-open", "--batch-size", type=int, default=64)
    p.add_argument("-o", "--output")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction)
    p.add_argument("--stats", action="store_true")
    for name in UNSUPPORTED_LONG:
        p.add_argument(f"--{name}", nargs="?", action=_Unsupported)
    return p


_SIZE = re.compile(r"^(\d+)([bKkMmGgTt%]?)$")
_SIZE_UNITS = {"b": 1, "": 1024, "k": 1024, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def parse_size(text):
    """A size as the traditional command reads it: a plain number counts KiB."""
    m = _SIZE.match(text)
    if not m:
        raise UsageError(f"invalid size '{text}'")
    n, unit = int(m[1]), m[2]
    if unit == "%":
        total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        size = total * n // 100
    else:
        size = n * _SIZE_UNITS[unit if unit == "b" else unit.lower()]
    if size > _INT64_MAX:
        raise UsageError(f"invalid size '{text}': too large")
    return size


def _resources(args):
    """-S, --threads and --max-open as the sorter takes them; an absurd value is a usage
    error here rather than an overflow inside the sorter."""
    max_bytes = max(parse_size(args.max_bytes), MIN_MAX_BYTES)
    threads = args.threads if args.threads is not None else min(os.cpu_count() or 1, 8)
    if not 1 <= threads <= MAX_THREADS:
        raise UsageError(f"--threads must be from 1 to {MAX_THREADS}, not {threads}")
    if args.max_open < 2:
        raise UsageError(f"--max-open must be at least 2, not {args.max_open}")
    if args.max_open > _INT64_MAX:
        raise UsageError(f"--max-open must be at most {_INT64_MAX}, not {args.max_open}")
    return max_bytes, threads, args.max_open


def _plan(args):
    """What the options say about the records and their key; a usage error when they cannot
    be read."""
    if args.jsonl or args.csv:
        if args.zero_terminated:
            raise UsageError("-z applies to lines only")
        if args.field_separator is not None:
            if args.jsonl:
                raise UsageError("-t applies to lines and CSV only")
            if args.delimiter is None:
                args.delimiter = args.field_separator
        if args.delimiter is not None and len(args.delimiter) != 1:
            raise UsageError(f"the delimiter must be one character: '{args.delimiter}'")
    elif args.delimiter is not None:
        raise UsageError("--delimiter applies to --csv only")
    lines = not (args.jsonl or args.csv)
    modifiers = "".join(m for m in ORDERINGS if getattr(args, f"order_{m}"))
    for word in args.sort:
        if word not in SORT_WORDS:
            raise ArgumentError(_invalid_word(word, "--sort", SORT_WORDS))
        modifiers += SORT_WORDS[word]
    if not lines and (modifiers.replace("n", "") or args.check or args.check_word or args.merge):
        raise UsageError("-c, -C, -m and the ordering options but -n apply to lines only")
    try:
        return make_plan(
            format="jsonl" if args.jsonl else "csv" if args.csv else "lines",
            key=args.key, numeric=args.numeric_sort or "n" in modifiers, reverse=args.reverse,
            ignore_blanks=args.ignore_leading_blanks,
            field_separator=args.field_separator if lines else None,
            zero_terminated=args.zero_terminated, delimiter=args.delimiter or ",",
            modifiers=modifiers.replace("n", ""), random_seed=_random_seed(args.random_source))
    except ValueError as e:
        raise UsageError(str(e)) from None


def _invalid_word(word, option, words):
    valid = "\n".join(f"  - '{w}'" for w in words)
    return f"invalid argument '{word}' for '{option}'\nValid arguments are:\n{valid}"


def _random_seed(source):
    """-R's seed from --random-source: the same bytes give the same order. None: a new one."""
    if source is None:
        return None
    import hashlib

    try:
        with open(source, "rb") as f:
            data = f.read(1 << 16)
    except OSError as e:
        raise FileError(f"cannot read {source}: {e.strerror}", 2) from None
    return int.from_bytes(hashlib.blake2b(data, digest_size=8).digest())


def _check_mode(args):
    """None, "diagnose-first" or "quiet", from -c, -C and --check[=WORD]."""
    modes = list(args.check or [])
    for word in args.check_word or []:
        if word not in CHECK_WORDS:
            raise ArgumentError(_invalid_word(word, "--check", CHECK_WORDS))
        modes.append(CHECK_WORDS[word])
    if len(set(modes)) > 1:
        raise UsageError("options '-cC' are incompatible")
    mode = modes[0] if modes else None
    if mode is not None and args.output is not None:
        raise UsageError(f"options '-{'c' if mode == 'diagnose-first' else 'C'}o' are incompatible")
    return mode


def _file_names(args):
    """The inputs: the operands, or the names --files0-from reads."""
    if args.files0_from is None:
        return args.files
    if args.files:
        raise UsageError(f"extra operand '{args.files[0]}'\n"
                         "file operands cannot be combined with --files0-from")
    source = args.files0_from
    try:
        if source == "-":
            with open(0, "rb", closefd=False) as f:
                data = f.read()
        else:
            with open(source, "rb") as f:
                data = f.read()
    except OSError as e:
        raise FileError(f"cannot read {source}: {e.strerror}", 2) from None
    if not data:
        raise FileError(f"no input from '{source}'", 2)
    names = data.split(b"\0")
    if names[-1] == b"":
        names.pop()
    for number, name in enumerate(names, 1):
        if not name:
            raise FileError(f"{source}:{number}: invalid zero-length file name", 2)
        if source == "-" and name == b"-":
            raise FileError("when reading file names from standard input, no file name of '-' "
                            "allowed", 2)
    return [os.fsdecode(n) for n in names]


def _tmp_dir(dirs):
    """Of several -T, the first directory that can take files (else the first, which then
    fails with its own message)."""
    if not dirs:
        return None
    for d in dirs:
        if os.path.isdir(d) and os.access(d, os.W_OK | os.X_OK):
            return d
    return dirs[0]


def _mib(n):
    return f"{n / 1048576:.1f} MiB"


def format_stats(st, bytes_read):
    """The summary of --stats: the input's bytes as read, the rest as the engine counted."""
    return "\n".join([
        f"{PROG}: stats",
        f"  items          {st.items:,}",
        f"  bytes in       {_mib(bytes_read)}",
        f"  runs spilled   {st.runs_spilled}",
        f"  merge passes   {st.merge_passes}",
        f"  spilled        {_mib(st.bytes_spilled)} ({_mib(st.bytes_spilled_compressed)} compressed)",
        f"  peak memory    {_mib(st.peak_memory)}",
        f"  reading input  {st.fill_seconds:.2f} s (waiting for spills {st.spill_wait_seconds:.2f} s)",
        f"  spilling       {st.spill_seconds:.2f} s (alongside reading)",
        f"  merge passes   {st.merge_pass_seconds:.2f} s",
        f"  last sort      {st.last_sort_seconds:.2f} s",
        f"  merge, output  {st.read_seconds:.2f} s",
    ]) + "\n"


class _Leftovers:
    """What a run must not leave behind, however it ends: the temporary output. (The sorter
    closes itself on the way out, removing its spill directory.)"""

    def __init__(self):
        self.output = None

    def remove(self):
        output, self.output = self.output, None
        if output is not None:
            try:
                output.discard()
            except FileError:
                pass


def _check(plan, args, names, mode):
    if len(names) > 1:
        raise UsageError(f"extra operand '{names[1]}' not allowed with -c")
    try:
        check_with_plan(plan, names[0] if names else "-", unique=args.unique, open_input=open_input)
    except Disorder as d:
        if mode == "diagnose-first":
            line = d.line.decode("utf-8", "surrogateescape")
            say(f"{PROG}: {d.name}:{d.number}: disorder: {line}{plan.sep.decode()}")
        return 1
    except ReadError as e:
        raise FileError(f"cannot read {e.name}: {e.error.strerror}", 2) from None
    return 0


def _merge(plan, args, names, out, signals, leftovers, threads):
    out.open()
    try:
        merge_with_plan(plan, names, out.fd, unique=args.unique, open_input=open_input,
                        threads=threads, max_open=args.max_open, tmp_dir=_tmp_dir(args.tmp_dir))
    except Disorder as d:
        line = d.line.decode("utf-8", "surrogateescape")
        say(f"{PROG}: {d.name}:{d.number}: disorder: {line}{plan.sep.decode()}")
        return 1
    except ReadError as e:
        raise FileError(f"cannot read {e.name}: {e.error.strerror}", 2) from None
    except BrokenPipeError:
        raise
    except OSError as e:
        raise FileError(f"cannot write {out.name}: {e.strerror}", 1) from None
    with signals.held():
        out.commit()
        leftovers.output = None
    return 0


def run(argv, closed, signals, leftovers):
    args = _parser().parse_args(_with_check_words(list(argv)))
    if args.help:
        StandardOutput(closed).write(USAGE.encode())
        return 0
    if args.version:
        from importlib.metadata import version  # only here: it adds to every start
        StandardOutput(closed).write(f"{PROG} {version('tessarune')}\n".encode())
        return 0
    max_bytes, threads, max_open = _resources(args)
    check = _check_mode(args)
    plan = _plan(args)
    names = _file_names(args)
    if check is not None:
        return _check(plan, args, names, check)
    show = args.progress if args.progress is not None else bool(sys.stderr and sys.stderr.isatty())
    progress = Progress(show and sys.stderr is not None)
    sources = check_inputs(names, closed)
    if args.merge:
        with signals.held():
            out = StandardOutput(closed) if args.output is None else output_file(args.output)
            leftovers.output = out
        return _merge(plan, args, [name for name, _ in sources], out, signals, leftovers, threads)

    with signals.held():
        out = StandardOutput(closed) if args.output is None else output_file(args.output)
        leftovers.output = out
    # The sorter closes, removing its spill directory, however the sort ends: a stop signal
    # unwinds through it.
    writer = OpenOnWrite(out)
    report = sort_with_plan(plan, [name for name, _ in sources], writer, unique=args.unique,
                            max_bytes=max_bytes, threads=threads, max_open=max_open,
                            tmp_dir=_tmp_dir(args.tmp_dir), bars=progress,
                            open_input=open_input)
    writer.finish()
    with signals.held():
        out.commit()
        leftovers.output = None
    if args.stats:
        say(format_stats(report.stats, report.bytes_read))
    return 0


def _run_and_report(argv, closed, signals, leftovers):
    try:
        return run(sys.argv[1:] if argv is None else argv, closed, signals, leftovers)
    except UsageError as e:
        say(f"{PROG}: {e}\nTry '{PROG} --help' for more information.\n")
        return 2
    except ArgumentError as e:
        say(f"{PROG}: {e}\nTry '{PROG} --help' for more information.\n")
        return 1
    except InputError as e:
        say(f"{e}\n")
        return 2
    except FileError as e:
        say(f"{PROG}: {e}\n")
        return e.status
    except BrokenPipeError:
        # A reader that stopped early (| head) is no failure worth a message.
        return 128 + signal.SIGPIPE
    except OSError as e:
        say(f"{PROG}: {e}\n")
        return 1


def main(argv=None):
    """Runs the command on argv, or on the process's own arguments when argv is None; returns
    the exit status.

    As the process's own command (argv None) the signal handlers stay set until it exits, so
    that a signal during the interpreter's exit cannot kill it half way; a call from Python gets
    its own handlers back.
    """
    closed = plug_standard_descriptors()
    signals = StopSignals()
    leftovers = _Leftovers()
    try:
        try:
            status = _run_and_report(argv, closed, signals, leftovers)
        finally:
            signals.quiet()
    except Stopped as e:
        status = 128 + e.signum
    except KeyboardInterrupt:  # no handlers of our own outside the main thread
        status = 128 + signal.SIGINT
    try:
        leftovers.remove()
    finally:
        if argv is not None:
            signals.restore()
    if signals.caught is not None:
        status = 128 + signals.caught
    if status == 128 + signal.SIGPIPE:
        # The interpreter must not trip over the closed pipe on its way out either.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    return status
