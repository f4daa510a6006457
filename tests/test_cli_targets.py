"""What the tessarune command does to the files around it: the -o target of every kind and when
it is written in place, inputs beyond the descriptor limit, temporary directories, closed
standard streams and failed writes."""

import os
import resource
import shutil
import signal
import stat
import subprocess
import tempfile
import threading

import pytest

from command import command, first_line, leftovers, run

LINES = [b"%05d" % ((i * 7919) % 10007) for i in range(3000)]
DATA = b"\n".join(LINES) + b"\n"
SORTED = b"".join(x + b"\n" for x in sorted(LINES))
NOBODY = 65534
ROOT = os.geteuid() == 0


def make_device(path, major, minor):
    """A character device node of our own, never the system's."""
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(major, minor))
    except PermissionError:
        pytest.skip("making device nodes needs root")


def test_output_through_link_fifo_and_device(tmp_path):
    real = tmp_path / "real"
    real.write_bytes(b"old\n")
    os.chmod(real, 0o640)
    (tmp_path / "link").symlink_to("real")
    got = run(["-o", str(tmp_path / "link")], DATA)
    assert got.returncode == 0, got.stderr
    assert os.readlink(tmp_path / "link") == "real"
    assert real.read_bytes() == SORTED
    assert stat.S_IMODE(os.stat(real).st_mode) == 0o640

    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
    reader.start()
    got = run(["-o", str(fifo)], DATA)
    reader.join(60)
    assert got.returncode == 0, got.stderr
    assert received == [SORTED]
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)

    null = tmp_path / "null"
    make_device(null, 1, 3)
    got = run(["-o", str(null)], DATA)
    assert got.returncode == 0, got.stderr
    assert stat.S_ISCHR(os.lstat(null).st_mode)
    assert leftovers(tmp_path, "real", "link", "fifo", "null") == []


def test_written_in_place_where_replacing_would_lose_something(tmp_path):
    # A second hard link sees the new content.
    target, other = tmp_path / "target", tmp_path / "other"
    target.write_bytes(b"old\n")
    os.link(target, other)
    assert run(["-o", str(target)], DATA).returncode == 0
    assert other.read_bytes() == SORTED and os.stat(target).st_ino == os.stat(other).st_ino

    # A target owned by another user keeps its owner.
    if ROOT:
        owned = tmp_path / "owned"
        owned.write_bytes(b"old\n")
        os.chown(owned, NOBODY, NOBODY)
        assert run(["-o", str(owned)], DATA).returncode == 0
        assert owned.read_bytes() == SORTED
        assert (os.stat(owned).st_uid, os.stat(owned).st_gid) == (NOBODY, NOBODY)

    assert leftovers(tmp_path, "target", "other", "owned") == []


def test_writable_target_in_a_directory_the_command_cannot_write():
    # Root writes anywhere, so root runs the command as nobody, in a directory of root's that
    # nobody can reach (pytest's own are private).
    top = tempfile.mkdtemp(prefix="tessarune-locked-")
    locked = os.path.join(top, "locked")
    os.mkdir(locked)
    try:
        os.chmod(top, 0o755)
        source = os.path.join(top, "source")
        with open(source, "wb") as f:
            f.write(DATA)
        target = os.path.join(locked, "target")
        with open(target, "wb") as f:
            f.write(b"old\n")
        if ROOT:
            os.chown(target, NOBODY, NOBODY)
        else:
            os.chmod(locked, 0o555)
        got = run(["-o", target, source], preexec_fn=_as_nobody if ROOT else None)
        assert got.returncode == 0, got.stderr
        with open(target, "rb") as f:
            assert f.read() == SORTED
        assert os.listdir(locked) == ["target"]
    finally:
        os.chmod(locked, 0o755)
        shutil.rmtree(top)


def _as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def _limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG


@pytest.mark.parametrize("unique", [[], ["-u"]], ids=["all", "unique"])
@pytest.mark.parametrize("target", ["regular file", "full device", "standard output"])
def test_failed_write_exits_2_naming_the_output(target, unique, tmp_path):
    out = tmp_path / "out"
    if target == "regular file":
        out.write_bytes(b"old\n")
        got = run(unique + ["-o", str(out)], DATA, preexec_fn=_limit_file_size)
        name, reason = str(out), "File too large"
        assert out.read_bytes() == b"old\n"
    else:
        make_device(out, 1, 7)  # every write fails with ENOSPC
        reason = "No space left on device"
        if target == "full device":
            got = run(unique + ["-o", str(out)], DATA)
            name = str(out)
        else:
            with open(out, "wb") as full:
                got = subprocess.run([command(), *unique], input=DATA, stdout=full,
                                     stderr=subprocess.PIPE, timeout=300)
            name = "standard output"
    line = first_line(got)
    assert got.returncode == 2 and line.startswith("tessarune: "), got.stderr
    assert name in line and reason in line, got.stderr
    assert leftovers(tmp_path, "out") == []


def _descriptors(n):
    return lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (n, n))


@pytest.mark.parametrize("mode, count, limit", [([], 100, 32), (["-m"], 200, 64)],
                         ids=["sort", "merge"])
def test_more_inputs_than_descriptors_and_a_missing_one_stops_first(mode, count, limit, tmp_path):
    names = []
    for i in range(count):
        names.append(str(tmp_path / f"in{i}"))
        with open(names[-1], "wb") as f:
            part = LINES[i::count]
            f.write(b"".join(x + b"\n" for x in (sorted(part) if mode else part)))
    out = tmp_path / "out"
    got = run(mode + ["-T", str(tmp_path), "-o", str(out)] + names, preexec_fn=_descriptors(limit))
    assert got.returncode == 0, got.stderr
    assert out.read_bytes() == SORTED
    assert leftovers(tmp_path, "out", *map(os.path.basename, names)) == []

    out.write_bytes(b"old\n")
    missing = str(tmp_path / "missing")
    got = run(mode + ["-o", str(out)] + names + [missing], preexec_fn=_descriptors(limit))
    assert got.returncode == 2
    assert first_line(got) == f"tessarune: cannot read: {missing}: No such file or directory"
    assert out.read_bytes() == b"old\n"


def _close(fd):
    return lambda: os.close(fd)


REFUSALS = [
    (["-S", "99999999999999999999999G"], None, "-S argument '99999999999999999999999G' too large"),
    (["--parallel", "0"], None, "number in parallel must be nonzero"),
    (["-o", "a", "-o", "b"], None, "multiple output files specified"),
    (["-o", "."], None, "open failed: .: Is a directory"),
    ([], 0, "-: Bad file descriptor"),
    ([], 1, "standard output"),
]


@pytest.mark.parametrize("args, closed, message", REFUSALS, ids=[r[2] for r in REFUSALS])
def test_refusals_and_closed_streams_exit_2_in_a_line(args, closed, message):
    got = run(args, preexec_fn=None if closed is None else _close(closed))
    assert got.returncode == 2
    line = first_line(got)
    assert line.startswith("tessarune: ") and message in line, got.stderr
    if closed is not None:
        assert "Bad file descriptor" in line, got.stderr


def test_temporary_directory_matters_only_when_a_spill_needs_it(tmp_path):
    big = b"".join(b"%07d\n" % (i * 7919 % 1000003) for i in range(300_000))
    got = run(["-S", "1M"], big, env={"TMPDIR": "/nonexistent"})
    assert got.returncode == 2
    assert first_line(got).startswith("tessarune: cannot create temporary file in '/nonexistent'")

    got = run(["-T", "/nonexistent"], DATA)
    assert (got.returncode, got.stdout) == (0, SORTED), got.stderr
    assert run(["-S", "1P"], DATA).stdout == SORTED  # more than the machine has: capped


def test_tiny_budget_is_raised_to_a_floor():
    got = run(["-S", "2b", "--stats"], DATA * 4)
    assert got.returncode == 0, got.stderr
    runs = int(got.stderr.decode().split("runs spilled")[1].split()[0])
    # 12,000 lines of 6 bytes, about 34 bytes each as held: a run per line without the floor.
    assert 0 < runs < 20, got.stderr
