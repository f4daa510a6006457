#!/usr/bin/env bash
# Sets up the machine, then runs every test: the engine's C++ tests under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded ones under ThreadSanitizer, and the Python
# tests against the installed package.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
py="$root/.venv/bin/python"
export PATH="$root/.venv/bin:$PATH"
jobs=$(nproc)
# No test writes a file near this size; a runaway writer stops here instead of filling the disk.
ulimit -f $((32 * 1024 * 1024))

configure() {  # dir, extra cmake arguments...
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$py" -DTESSARUNE_PYTHON=OFF \
        -DTESSARUNE_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

echo "== layers"
"$py" scripts/check_layers.py

echo "== engine tests (address, undefined)"
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSARUNE_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== engine tests (thread)"
configure build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARUNE_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -j "$jobs"

echo "== python tests"
configure build/testing -DCMAKE_BUILD_TYPE=Release
"$py" -m pip install -q --no-build-isolation .
TESSARUNE_TESTING_DIR="$root/build/testing" "$py" -m pytest -q tests
