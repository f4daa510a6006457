"""Where the sorted output goes, and how it gets there without harming what was there before.

A regular file named by -o (or one that does not exist yet) is written under a temporary name
beside it and renamed over it once the sort succeeded, with its permissions kept; a symbolic
link is followed first, so the link stays a link and its target gets the output. Anything else
(a FIFO, a device, a socket) is not a file to replace: it is opened and written directly, once
the input has been read.
"""

import errno
import os
import stat

from .cli_files import FileError

_WRITE_FLAGS = os.O_WRONLY | os.O_CLOEXEC | os.O_NOCTTY


class _Target:
    """Takes the sorted bytes; a write that fails names the target and ends the run."""

    name = ""
    fd = -1

    def open(self):
        """Called once the input has been read, right before the first write."""

    def write(self, data):
        try:
            n = os.write(self.fd, data)
            if n < len(data):
                with memoryview(data) as view:
                    while n < len(view):
                        n += os.write(self.fd, view[n:])
        except BrokenPipeError:
            raise  # the reader went away: no failure worth a message
        except OSError as e:
            raise FileError(f"cannot write {self.name}: {e.strerror}", 1) from None
        return len(data)

    def commit(self):
        """The output is complete."""

    def discard(self):
        """The run failed or was stopped: nothing of the target may be left half made."""


class StandardOutput(_Target):
    name = "standard output"

    def __init__(self, closed):
        if 1 in closed:
            raise FileError("cannot write standard output: Bad file descriptor", 2)
        self.fd = 1


class _DirectFile(_Target):
    """A FIFO, device or socket: written in place, as there is nothing to rename over."""

    def __init__(self, name, path):
        self.name, self.path = name, path
        if not os.access(path, os.W_OK):
            raise FileError(f"cannot write {name}: Permission denied", 2)

    def open(self):
        # Only now: a FIFO's open waits for its reader, which should not hold the sort up.
        try:
            self.fd = os.open(self.path, _WRITE_FLAGS)
        except OSError as e:
            raise FileError(f"cannot write {self.name}: {e.strerror}", 2) from None

    def commit(self):
        self._close()

    def discard(self):
        self._close()

    def _close(self):
        fd, self.fd = self.fd, -1
        if fd >= 0:
            try:
                os.close(fd)
            except OSError as e:
                raise FileError(f"cannot write {self.name}: {e.strerror}", 1) from None


class _ReplacedFile(_Target):
    """A regular file, made anew beside the target and renamed over it at the end."""

    def __init__(self, name, path, mode):
        self.name, self.path = name, path
        directory, base = os.path.split(path)
        try:
            self.fd, self.tmp = _new_private_file(directory, f".{base}.", ".tmp")
        except OSError as e:
            raise FileError(f"cannot write {name}: {e.strerror}", 2) from None
        try:
            os.fchmod(self.fd, mode)
        except BaseException:
            self.discard()
            raise

    def commit(self):
        fd, self.fd = self.fd, -1
        try:
            os.close(fd)
            os.replace(self.tmp, self.path)
        except OSError as e:
            raise FileError(f"cannot write {self.name}: {e.strerror}", 1) from None
        self.tmp = None

    def discard(self):
        fd, self.fd = self.fd, -1
        if fd >= 0:
            os.close(fd)
        tmp, self.tmp = self.tmp, None
        if tmp is not None:
            try:
                os.unlink(tmp)
            except OSError:
                pass


def output_file(name):
    """The target for -o NAME, checked now so that a target that cannot be written stops the
    command before the sort starts."""
    path = os.path.realpath(name)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return _ReplacedFile(name, path, _default_mode())
    except OSError as e:
        raise FileError(f"cannot write {name}: {e.strerror}", 2) from None
    if stat.S_ISREG(st.st_mode):
        return _ReplacedFile(name, path, stat.S_IMODE(st.st_mode))
    if stat.S_ISDIR(st.st_mode):
        raise FileError(f"cannot write {name}: Is a directory", 2)
    return _DirectFile(name, path)


def _default_mode():
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _new_private_file(directory, prefix, suffix):
    """A new file that no one else can have made, as the tempfile module makes them (without
    the import, which costs every run 10 ms)."""
    for _ in range(100):
        name = os.path.join(directory, prefix + os.urandom(6).hex() + suffix)
        try:
            return os.open(name, _WRITE_FLAGS | os.O_CREAT | os.O_EXCL, 0o600), name
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name", directory)
