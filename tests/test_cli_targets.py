"""What the tessarune command does to the files around it: the -o target of every kind, inputs
beyond the descriptor limit, closed standard streams, failed writes and absurd options. (How it
reads JSON Lines is compared with tessarune.dask in test_dask.py.)"""

import os
import resource
import signal
import stat
import subprocess
import sys
import threading

import pytest

CMD = [sys.executable, "-m", "tessarune"]
LINES = [b"%05d" % ((i * 7919) % 10007) for i in range(3000)]
DATA = b"\n".join(LINES) + b"\n"
SORTED = b"".join(x + b"\n" for x in sorted(LINES))


def run(args, data=b"", **kw):
    return subprocess.run(CMD + args, input=data, capture_output=True, timeout=120, **kw)


def make_device(path, major, minor):
    """A character device node of our own, never the system's."""
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(major, minor))
    except PermissionError:
        pytest.skip("making device nodes needs root")


def leftovers(directory, *expected):
    return sorted(set(os.listdir(directory)) - set(expected))


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


def _limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG


@pytest.mark.parametrize("unique", [[], ["-u"]], ids=["all", "unique"])
@pytest.mark.parametrize("target", ["regular file", "full device", "standard output"])
def test_failed_write_names_the_output_in_one_line(target, unique, tmp_path):
    out = tmp_path / "out"
    if target == "regular file":
        out.write_bytes(b"old\n")
        got = run(unique + ["-o", str(out)], DATA, preexec_fn=_limit_file_size)
        expected = f"tessarune: cannot write {out}: File too large\n"
        assert out.read_bytes() == b"old\n"
    else:
        make_device(out, 1, 7)  # every write fails with ENOSPC
        if target == "full device":
            got = run(unique + ["-o", str(out)], DATA)
            expected = f"tessarune: cannot write {out}: No space left on device\n"
        else:
            with open(out, "wb") as full:
                got = subprocess.run(CMD + unique, input=DATA, stdout=full, stderr=subprocess.PIPE,
                                     timeout=120)
            expected = "tessarune: cannot write standard output: No space left on device\n"
    assert (got.returncode, got.stderr.decode()) == (1, expected)
    assert leftovers(tmp_path, "out") == []


def _few_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (32, 32))


def test_more_inputs_than_descriptors_and_a_missing_one_stops_first(tmp_path):
    names = []
    for i in range(100):
        names.append(str(tmp_path / f"in{i}"))
        with open(names[-1], "wb") as f:
            f.write(b"".join(x + b"\n" for x in LINES[i::100]))
    out = tmp_path / "out"
    got = run(["-o", str(out)] + names, preexec_fn=_few_descriptors)
    assert got.returncode == 0, got.stderr
    assert out.read_bytes() == SORTED

    out.write_bytes(b"old\n")
    got = run(["-o", str(out)] + names + [str(tmp_path / "missing")], preexec_fn=_few_descriptors)
    assert (got.returncode, got.stderr) == (2, f"tessarune: cannot read {tmp_path}/missing: "
                                               "No such file or directory\n".encode())
    assert out.read_bytes() == b"old\n"


def _close(fd):
    return lambda: os.close(fd)


@pytest.mark.parametrize("args, closed, message", [
    (["-S", "99999999999999999999999G"], None, "size '99999999999999999999999G': too large"),
    (["--threads", "2000"], None, "--threads must be from 1 to 1024, not 2000"),
    (["--max-open", "99999999999999999999999"], None, "--max-open must be at most"),
    (["-k", "1,"], None, "invalid field specification '1,'"),
    (["-o", "."], None, "cannot write .: Is a directory"),
    ([], 0, "cannot read standard input: Bad file descriptor"),
    ([], 1, "cannot write standard output: Bad file descriptor"),
])
def test_absurd_options_and_closed_streams_exit_2_in_a_line(args, closed, message):
    got = run(args, preexec_fn=None if closed is None else _close(closed))
    assert got.returncode == 2
    first = got.stderr.decode().splitlines()[0]
    assert first.startswith("tessarune: ") and message in first, got.stderr
    assert b"Traceback" not in got.stderr


def test_tiny_budget_is_raised_to_a_floor():
    assert "less than 64K counts as 64K" in run(["--help"]).stdout.decode()
    got = run(["-S", "2b", "--stats"], DATA * 4)
    assert got.returncode == 0
    runs = int(got.stderr.decode().split("runs spilled")[1].split()[0])
    # 12,000 lines of 6 bytes, about 34 bytes each as held: a run per line without the floor.
    assert 0 < runs < 20, got.stderr

