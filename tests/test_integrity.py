"""A sorter across fork() and under a tight descriptor limit: each scenario runs in a fresh
interpreter, since both change the whole process."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_script(script, *args, timeout=120):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


FORK_PARENT_KEEPS_ITS_DATA = """
    import glob, os, sys, time, warnings
    from tessarune import Sorter
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads about
    tmp, mode = sys.argv[1], sys.argv[2]
    s = Sorter(max_bytes=1 << 20, threads=2, tmp_dir=tmp)
    n = 200_000
    for i in range(n):
        s.add(n - i)
    if mode == "spilling":
        # A spill starts when a half is full; fork the moment its file appears.
        while len(glob.glob(tmp + "/tessarune-*/run-*")) < 2:
            s.add(0)
            n += 1
    pid = os.fork()
    if pid == 0:
        try:
            s.add(1)
        except RuntimeError as e:
            assert "belongs to another process" in str(e), e
        else:
            os._exit(3)
        if mode == "drop":
            del s
        sys.exit(0)  # a normal exit, finalizing whatever the child still holds
    start = time.monotonic()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
    print(f"child exited after {time.monotonic() - start:.2f} s")
    got = list(s.sort())
    assert len(got) == n and got == sorted(got)
    assert glob.glob(tmp + "/tessarune-*") == []
"""


@pytest.mark.parametrize("mode", ["drop", "exit", "spilling"])
def test_a_forked_child_leaves_the_parents_sorter_alone(tmp_path, mode):
    out = run_script(FORK_PARENT_KEEPS_ITS_DATA, tmp_path, mode, timeout=60)
    assert float(out.split()[3]) < 10, out


DESCRIPTOR_LIMIT = """
    import glob, os, resource, sys
    from tessarune import Sorter
    tmp, n = sys.argv[1], int(sys.argv[2])
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (24, hard))
    s = Sorter(max_bytes=256 << 10, max_open=64, tmp_dir=tmp)
    for i in range(n):
        s.add((i * 7919) % n)
    runs = len(glob.glob(tmp + "/tessarune-*/run-*"))
    got = list(s.sort())
    assert got == list(range(n))
    assert glob.glob(tmp + "/tessarune-*") == []

    # close() removes every run even with no descriptor left to open.
    s = Sorter(max_bytes=256 << 10, tmp_dir=tmp)
    for i in range(100_000):
        s.add(i)
    held = []
    try:
        while True:
            held.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    s.close()
    for fd in held:
        os.close(fd)
    assert glob.glob(tmp + "/tessarune-*") == []
    print(runs)
"""


def test_a_24_descriptor_limit_means_more_merge_passes(tmp_path):
    runs = int(run_script(DESCRIPTOR_LIMIT, tmp_path, 600_000))
    assert runs > 24
