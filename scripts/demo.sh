#!/usr/bin/env bash
# Sets up the machine, installs the package into .venv and runs the main job: a sort of
# more items than the sorter may hold in memory.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
export PATH="$root/.venv/bin:$PATH"
.venv/bin/python -m pip install -q --no-build-isolation -C build-dir=build/{wheel_tag} .
exec .venv/bin/python examples/demo.py "$@"
