"""The command's files: the standard descriptors, and the inputs, checked before the sort
starts and opened one at a time as they are read."""

import os
import stat


class FileError(Exception):
    """A file that cannot be read or written: 'tessarune: <message>' and the exit status."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def plug_standard_descriptors():
    """Puts /dev/null on each of descriptors 0, 1 and 2 that is closed, and returns those.

    Left closed, the next file opened (a spill run, the temporary output) would take the
    number, and what is meant for standard output or error would land in it.
    """
    closed = set()
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
    for fd in sorted(closed):
        null = os.open(os.devnull, os.O_RDWR)
        if null != fd:  # the lowest free number: fd itself, unless a lower one is closed too
            os.dup2(null, fd)
            os.close(null)
    return closed


def say(text):
    """Writes to standard error, which may be closed or gone: a message is never worth a
    second failure."""
    try:
        os.write(2, text.encode("utf-8", "surrogateescape"))
    except OSError:
        pass


def check_inputs(names, closed):
    """The inputs, each with its size when it is a regular file (else None).

    A missing or unreadable input stops the command before any output is made or replaced;
    no descriptor is held, so any number of inputs can be named.
    """
    checked = []
    for name in names or ["-"]:
        if name == "-":
            if 0 in closed:
                raise FileError("cannot read standard input: Bad file descriptor", 2)
            st = os.fstat(0)
        else:
            try:
                st = os.stat(name)
            except OSError as e:
                raise FileError(f"cannot read {name}: {e.strerror}", 2) from None
            if stat.S_ISDIR(st.st_mode):
                raise FileError(f"cannot read {name}: Is a directory", 2)
            if not os.access(name, os.R_OK):
                raise FileError(f"cannot read {name}: Permission denied", 2)
        checked.append((name, st.st_size if stat.S_ISREG(st.st_mode) else None))
    return checked


def open_input(name):
    """An unbuffered binary file for reading, to be closed by the caller (standard input is
    left open when it is)."""
    if name == "-":
        return open(0, "rb", buffering=0, closefd=False)
    try:
        return open(name, "rb", buffering=0)
    except OSError as e:
        raise FileError(f"cannot read {name}: {e.strerror}", 2) from None
