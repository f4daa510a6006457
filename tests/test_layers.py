"""The layering check accepts the tree and refuses an include that runs upwards."""
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
CHECK = ROOT / "scripts" / "check_layers.py"


def run_check(src):
    return subprocess.run([sys.executable, str(CHECK), str(src)], capture_output=True, text=True)


def test_the_tree_keeps_its_layers():
    result = run_check(ROOT / "src")
    assert result.returncode == 0, result.stderr


def test_an_upward_include_is_refused(tmp_path):
    (tmp_path / "run").mkdir()
    (tmp_path / "base").mkdir()
    (tmp_path / "base" / "ok.h").write_text('#include "base/expected.h"\n')
    (tmp_path / "run" / "bad.cc").write_text('#include "base/expected.h"\n#include "sorter/spill.h"\n')
    result = run_check(tmp_path)
    assert result.returncode == 1
    assert result.stderr.strip() == f"{tmp_path / 'run' / 'bad.cc'}:2: run includes sorter/, a layer above it"
