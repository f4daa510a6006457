"""The merge of files of sorted lines (-m) and the order check (-c): both stream through the
extension's _merge_lines, one line of each input in memory at a time, no run files (but for
more inputs than may be open at once: those are merged a batch at a time into temporary files)."""

import os
import tempfile

from _tessarune import _merge_lines


class Disorder(Exception):
    """An input out of order: its name, the line's number (from 1) and bytes."""

    def __init__(self, name, number, line):
        super().__init__(f"{name}:{number}: disorder")
        self.name, self.number, self.line = name, number, line


class ReadError(Exception):
    """An input that could not be read: its name and the OSError."""

    def __init__(self, name, error):
        super().__init__(f"{name}: {error.strerror}")
        self.name, self.error = name, error


def _run(plan, names, output_fd, unique, strict, open_input, threads=1):
    if plan.format != "lines":
        raise ValueError("merging and checking apply to lines only")
    files = []
    try:
        for name in names:
            files.append(open_input(name))
        try:
            found = _merge_lines([f.fileno() for f in files], plan.line_fields, plan.tab, plan.zero,
                                 plan.random_seed, output_fd, unique, strict, threads)
        except OSError as e:
            index = getattr(e, "input_index", None)
            if index is None:
                raise
            raise ReadError(names[index], e) from None
    finally:
        for f in files:
            f.close()
    if found is not None:
        index, number, line = found
        raise Disorder(names[index], number, line)


def merge_with_plan(plan, names, output_fd, *, unique=False, open_input=open, threads=1,
                    max_open=None, tmp_dir=None):
    """Merges the sorted lines of `names` into `output_fd`: lines of equal keys in the order of
    their inputs, with `unique` the first of them only; with two threads, regular files into a
    regular file in two halves at once. More than `max_open` inputs are merged first a batch at
    a time, in their order, into temporary files in `tmp_dir`. Raises Disorder at a line below
    the one before it in its input (after writing what came before it, and perhaps some of the
    other half), ReadError, or the OSError of the output."""
    made = set()

    def opener(name):
        return open(name, "rb", buffering=0) if name in made else open_input(name)

    try:
        while max_open is not None and len(names) > max_open:
            fd, path = tempfile.mkstemp(prefix="tessarune-merge-", dir=tmp_dir)
            made.add(path)
            try:
                _run(plan, names[:max_open], fd, unique, False, opener, threads)
            finally:
                os.close(fd)
            for name in names[:max_open]:
                if name in made:
                    made.discard(name)
                    os.remove(name)
            names = [path] + names[max_open:]
        _run(plan, names, output_fd, unique, False, opener, threads)
    finally:
        for path in made:
            os.remove(path)


def check_with_plan(plan, name, *, unique=False, open_input=open):
    """Raises Disorder at the first line of `name` below the line before it (with `unique`,
    equal to it too), or ReadError."""
    _run(plan, [name], -1, False, unique, open_input)
