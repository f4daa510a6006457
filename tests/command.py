"""The native `tessarune` command under test, and the `sort` command it is compared with.

The command is the one installed beside this interpreter's scripts, or $TESSARUNE_COMMAND.
Both run in the C locale; `sort` is the plain command, or `sort -s` when the arguments ask
for -s themselves.
"""

import os
import shutil
import subprocess
import sysconfig

import pytest

COMMAND = (os.environ.get("TESSARUNE_COMMAND")
           or os.path.join(sysconfig.get_path("scripts"), "tessarune"))
SORT = shutil.which("sort")
ENV = {**os.environ, "LC_ALL": "C"}
TIMEOUT = 300

needs_sort = pytest.mark.skipif(SORT is None, reason="needs the sort command as the oracle")


def command():
    """The command's path; a test fails, not skips, when it is not there: the package
    installs it."""
    if not os.access(COMMAND, os.X_OK):
        pytest.fail(f"no tessarune command at {COMMAND}: pip install . or set TESSARUNE_COMMAND")
    return COMMAND


def run(args, data=b"", env=None, **kw):
    """The command on `args` with `data` on standard input; output captured."""
    return subprocess.run([command(), *args], input=data, capture_output=True, timeout=TIMEOUT,
                          env={**ENV, **(env or {})}, **kw)


def run_sort(args, data=b"", env=None, **kw):
    # Named "sort" whatever its path: its messages start with that name.
    return subprocess.run(["sort", *args], executable=SORT, input=data, capture_output=True, timeout=TIMEOUT,
                          env={**ENV, **(env or {})}, **kw)


def as_sort_says(stderr):
    """The command's standard error as `sort` would word it: the program's name swapped."""
    said = stderr.replace(b"tessarune: ", b"sort: ")
    return said.replace(b"'tessarune --help'", b"'sort --help'")


def first_line(result):
    lines = result.stderr.decode("utf-8", "replace").splitlines()
    return lines[0] if lines else ""


def leftovers(directory, *expected):
    """What is in `directory` besides `expected`."""
    return sorted(set(os.listdir(directory)) - set(expected))
