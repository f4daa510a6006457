"""tessarune [OPTIONS] [FILE ...]: sort lines, JSON Lines or CSV larger than memory.

Options that have a spelling in the traditional sort command mean what they mean there in
the C locale; the result is always stable.
"""

import argparse
import csv
import io
import os
import re
import stat
import sys

from _tessarune import Sorter

from .cli_formats import CsvKey, CsvRows, InputError, JsonKey, json_line_key
from .cli_keys import KeyError_, LineKey, parse_key, whole_line_part
from .cli_progress import Progress

PROG = "tessarune"
# Reads of half a MiB: the lines are still in the processor's cache when they are scanned and
# copied into the sorter (with 4 MiB reads the command took 3% more time and CPU).
CHUNK = 512 << 10

# Options of the traditional command that this one does not offer: named, not guessed at.
UNSUPPORTED_SHORT = "hgMVRfdicCm"
UNSUPPORTED_LONG = [
    "human-numeric-sort", "general-numeric-sort", "month-sort", "version-sort", "random-sort",
    "ignore-case", "dictionary-order", "ignore-nonprinting", "check", "merge", "sort",
    "random-source", "files0-from", "batch-size", "compress-program", "debug",
]

USAGE = f"""usage: {PROG} [OPTIONS] [FILE ...]
Sort lines (default), JSON Lines (--jsonl) or CSV (--csv) read from the FILEs, or standard
input when there is none or FILE is -, in bounded memory. Equal keys keep their input order.

Formats:
      --jsonl               each line is a JSON value
      --csv                 comma-separated values; the header row stays first
      --delimiter C         the CSV delimiter (default ,)
Keys:
  -k, --key KEYDEF          lines: POS1[,POS2], POS = F[.C][b|n], repeatable;
                            --jsonl: PATH[,PATH...] dotted paths; --csv: COLUMN[,COLUMN...]
  -t, --field-separator SEP fields of lines end at SEP instead of at blanks
  -b, --ignore-leading-blanks  ignore leading blanks of keys
  -n, --numeric-sort        compare numbers (lines: GNU's reading; CSV: key columns)
  -r, --reverse             reverse the order (equal keys still keep input order)
  -u, --unique              keep only the first item of each run of equal keys
  -z, --zero-terminated     lines end with NUL, not newline
  -s, --stable              accepted; always on
Resources:
  -S, --max-bytes, --buffer-size SIZE  memory for items (K, M, G suffixes; default 256M)
      --threads, --parallel N          sorting threads (default: CPUs, at most 8)
  -T, --tmp-dir, --temporary-directory DIR  where to spill
      --max-open N                     runs merged at once (default 64)
Output:
  -o, --output FILE         write to FILE, replaced only once the sort succeeded
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


class _Unsupported(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        raise UsageError(f"option {option_string} is not supported")


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
    p.add_argument("-r", "--reverse", action="store_true")
    p.add_argument("-u", "--unique", action="store_true")
    p.add_argument("-z", "--zero-terminated", action="store_true")
    p.add_argument("-s", "--stable", action="store_true")
    p.add_argument("-S", "--max-bytes", "--buffer-size", default="256M")
    p.add_argument("--threads", "--parallel", type=int)
    p.add_argument("-T", "--tmp-dir", "--temporary-directory")
    p.add_argument("--max-open", type=int, default=64)
    p.add_argument("-o", "--output")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction)
    p.add_argument("--stats", action="store_true")
    for c in UNSUPPORTED_SHORT:
        p.add_argument(f"-{c}", nargs=0, action=_Unsupported)
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
    if size < 2:
        raise UsageError(f"invalid size '{text}': too small")
    return size


def _open_inputs(names):
    """Opens every input first, so that a missing one stops the sort before it starts."""
    opened = []
    try:
        for name in names or ["-"]:
            if name == "-":
                opened.append(("-", open(sys.stdin.fileno(), "rb", buffering=0, closefd=False)))
            else:
                try:
                    opened.append((name, open(name, "rb", buffering=0)))
                except OSError as e:
                    raise UsageError(f"cannot read {name}: {e.strerror}") from None
    except BaseException:
        for _, f in opened:
            f.close()
        raise
    return opened


def _input_total(inputs):
    """The bytes of all inputs, when every one is a regular file (else no total)."""
    total = 0
    for _, f in inputs:
        try:
            st = os.fstat(f.fileno())
        except OSError:
            return None
        if not stat.S_ISREG(st.st_mode):
            return None
        total += st.st_size
    return total


def _chunks(f, bar):
    """The bytes of a file in large reads."""
    while True:
        data = f.read(CHUNK)
        if not data:
            return
        bar.update(len(data))
        yield data


def _records(f, sep, bar):
    """The records of a file, each with its separator (one is added to a last record that
    lacks it), numbered from 1."""
    number = 0
    rest = b""
    for data in _chunks(f, bar):
        pieces = (rest + data).split(sep)
        rest = pieces.pop()
        for piece in pieces:
            number += 1
            yield number, piece + sep
    if rest:
        yield number + 1, rest + sep


def _add_lines_in_bulk(sorter, f, sep, reverse, bar):
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    n = 0
    while True:
        got = f.readinto(view[n:])
        if not got:
            break
        bar.update(got)
        n += got
        used = sorter._add_lines(view[:n], sep, reverse)
        rest = n - used
        if rest:
            buf[:rest] = buf[used:n]
        n = rest
        if n == len(buf):  # one line longer than the buffer: make room for the rest of it
            view.release()
            buf.extend(bytes(len(buf)))
            view = memoryview(buf)
    if n:
        sorter._add_lines(bytes(buf[:n]) + sep, sep, reverse)
    view.release()


class _ReadCount:
    """The reading bar, and the bytes read in all for --stats."""

    def __init__(self, bar):
        self.bar, self.bytes_read = bar, 0

    def update(self, n):
        self.bytes_read += n
        self.bar.update(n)

    def close(self):
        self.bar.close()


class _CountedReader(io.RawIOBase):
    """A file that counts what is read from it, for the progress bar."""

    def __init__(self, raw, bar):
        self.raw, self.bar = raw, bar

    def readable(self):
        return True

    def readinto(self, b):
        n = self.raw.readinto(b)
        self.bar.update(n or 0)
        return n


class Job:
    """One run of the command: what was asked, and the pieces that must be cleaned up."""

    def __init__(self, args):
        self.args = args
        self.sep = b"\0" if args.zero_terminated else b"\n"
        self.flags = {"b": args.ignore_leading_blanks, "n": args.numeric_sort, "r": args.reverse}
        self.line_key = None  # lines with key options
        self.key_of_payload = None  # for -u: the key again, from an item's bytes
        self.header = None  # CSV
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
            self.columns = [c for spec in args.key for c in spec.split(",") if c]
        else:
            if args.delimiter is not None:
                raise UsageError("--delimiter applies to --csv only")
            self._prepare_line_keys()

    def _prepare_line_keys(self):
        a = self.args
        tab = None
        if a.field_separator is not None:
            t = a.field_separator.encode("utf-8", "surrogateescape")
            if t == b"\\0":
                t = b"\0"
            if len(t) != 1:
                raise UsageError(f"the field separator must be one byte: '{a.field_separator}'")
            tab = t
        try:
            parts = [parse_key(k, self.flags) for k in a.key]
        except KeyError_ as e:
            raise UsageError(str(e)) from None
        if not parts:
            if not (self.flags["b"] or self.flags["n"]):
                return  # the whole line as bytes: the bulk path
            parts = [whole_line_part(self.flags)]
        self.line_key = LineKey(parts, tab, a.zero_terminated)

    # --- adding ---

    def add_all(self, sorter, inputs, bar):
        a = self.args
        for name, f in inputs:
            if a.csv:
                self._add_csv(sorter, name, f, bar)
            elif a.jsonl:
                self._add_jsonl(sorter, name, f, bar)
            elif self.line_key is None:
                _add_lines_in_bulk(sorter, f, self.sep, a.reverse, bar)
            else:
                key = self.line_key
                for _, record in _records(f, self.sep, bar):
                    sorter.add_encoded(key(record[:-1]), record)

    def _add_keyed(self, sorter, name, number, key, payload):
        try:
            if self.args.reverse:
                sorter._add_reversed(key, payload)
            else:
                sorter.add_encoded(key, payload)
        except (TypeError, RecursionError) as e:
            raise InputError(name, number, str(e)) from None

    def _add_jsonl(self, sorter, name, f, bar):
        keyer = JsonKey(self.columns)
        self.key_of_payload = lambda payload: json_line_key(keyer, "-", 0, payload)
        for number, record in _records(f, b"\n", bar):
            key = json_line_key(keyer, name, number, record)
            self._add_keyed(sorter, name, number, key, record)

    def _add_csv(self, sorter, name, f, bar):
        delimiter = self.args.delimiter or ","

        rows = CsvRows(io.BufferedReader(_CountedReader(f, bar), CHUNK), delimiter)
        try:
            first = next(rows, None)
            if first is None:
                return
            header, header_bytes = first
            if self.header is None:
                self.header = header_bytes
                self.header_row = header
                self.keyer = CsvKey(header, self.columns, self.args.numeric_sort, name)
                keyer = self.keyer
                self.key_of_payload = lambda payload: keyer(next(csv.reader(
                    io.StringIO(payload.decode("utf-8"), newline=""), delimiter=delimiter)))
            elif header != self.header_row:
                raise InputError(name, 1, "the header differs from the first input's")
            for row, payload in rows:
                try:
                    key = self.keyer(row)
                except ValueError as e:
                    raise InputError(name, rows.line, str(e)) from None
                self._add_keyed(sorter, name, rows.line, key, payload)
        except csv.Error as e:
            raise InputError(name, rows.reader.line_num, f"not CSV: {e}") from None
        except UnicodeDecodeError as e:
            raise InputError(name, rows.reader.line_num + 1, f"not UTF-8: {e}") from None

    # --- writing ---

    def write(self, sorter, out, bar):
        if self.header is not None:
            out.write(self.header)
        a = self.args
        # The bulk path stores each line without its separator: the writing puts it back.
        bulk = not (a.csv or a.jsonl) and self.line_key is None
        if not a.unique:
            sep = self.sep
            target = _Counting(out, bar, sep) if bar is not None else out
            if bulk:
                sorter._write_lines(target, sep)
            else:
                sorter.write_to(target)
            return
        end = self.sep if bulk else b""
        if self.key_of_payload is not None:
            key = self.key_of_payload
        elif self.line_key is not None:
            line_key = self.line_key
            key = lambda payload: line_key(payload[:-1])  # noqa: E731
        else:
            key = None  # the whole line: compare the items themselves
        buffered = open(out.fileno(), "wb", closefd=False)
        previous = marker = object()
        try:
            for payload in sorter.encoded():
                k = payload if key is None else key(payload)
                if previous is marker or k != previous:
                    buffered.write(payload + end if end else payload)
                    if bar is not None:
                        bar.update(1)
                previous = k
        finally:
            buffered.flush()


class _Counting:
    """A handle that counts the items in what passes through, for the progress bar."""

    def __init__(self, out, bar, sep):
        self.out, self.bar, self.sep = out, bar, sep

    def write(self, data):
        n = self.out.write(data)
        self.bar.update(data.count(self.sep, 0, n if n is not None else len(data)))
        return n


def _new_private_file(directory, prefix, suffix):
    """A new file that no one else can have made, as the tempfile module makes them (without
    the import, which costs every run 10 ms)."""
    for _ in range(100):
        name = os.path.join(directory, prefix + os.urandom(6).hex() + suffix)
        try:
            return os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600), name
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name in {directory}")


def _make_output(path):
    """A new file beside the target, with the target's permissions (or the default ones)."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = _new_private_file(directory, f".{os.path.basename(path)}.", ".tmp")
    try:
        try:
            mode = os.stat(path).st_mode & 0o7777
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.fchmod(fd, mode)
    except BaseException:
        os.close(fd)
        os.unlink(tmp)
        raise
    return open(fd, "wb", buffering=0), tmp


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


def run(argv):
    args = _parser().parse_args(argv)
    if args.help:
        sys.stdout.write(USAGE)
        return 0
    if args.version:
        from importlib.metadata import version  # only here: it adds to every start
        sys.stdout.write(f"{PROG} {version('tessarune')}\n")
        return 0
    max_bytes = parse_size(args.max_bytes)
    threads = args.threads if args.threads is not None else min(os.cpu_count() or 1, 8)
    if threads < 1:
        raise UsageError(f"--threads must be at least 1, not {threads}")
    if args.max_open < 2:
        raise UsageError(f"--max-open must be at least 2, not {args.max_open}")
    job = Job(args)
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    progress = Progress(show)

    inputs = _open_inputs(args.files)
    out = tmp = sorter = None
    try:
        if args.output is not None:
            out, tmp = _make_output(args.output)
        else:
            out = open(sys.stdout.fileno(), "wb", buffering=0, closefd=False)
        sorter = Sorter(max_bytes=max_bytes, tmp_dir=args.tmp_dir, max_open=args.max_open,
                        threads=threads)
        bar = _ReadCount(progress.bar("reading", _input_total(inputs), "B"))
        job.add_all(sorter, inputs, bar)
        bar.close()
        items_bar = progress.bar("writing", len(sorter), "items") if show else None
        job.write(sorter, out, items_bar)
        if items_bar is not None:
            items_bar.close()
        if tmp is not None:
            out.close()
            os.replace(tmp, args.output)
            tmp = None
        if args.stats:
            sys.stderr.write(format_stats(sorter.stats(), bar.bytes_read))
        return 0
    finally:
        if sorter is not None:
            sorter.close()
        for _, f in inputs:
            f.close()
        if tmp is not None:
            out.close()
            try:
                os.unlink(tmp)
            except OSError:
                pass


def main(argv=None):
    try:
        return run(sys.argv[1:] if argv is None else argv)
    except UsageError as e:
        sys.stderr.write(f"{PROG}: {e}\nTry '{PROG} --help' for more information.\n")
        return 2
    except InputError as e:
        sys.stderr.write(f"{e}\n")
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # A reader that stopped early (| head) is no failure worth a message; the interpreter
        # must not trip over the closed pipe on its way out either.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except OSError as e:
        sys.stderr.write(f"{PROG}: {e}\n")
        return 1
