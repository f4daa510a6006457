#!/usr/bin/env bash
# Sets up the machine, then runs every test: the engine's and the command's C++ tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded ones under ThreadSanitizer, the
# Python tests against the installed package and command, the wheel installed where lz4 and
# xxHash are not, and the Python tests again (but the slow ones) against the extension and the
# command built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
py="$root/.venv/bin/python"
export PATH="$root/.venv/bin:$PATH"
jobs=$(nproc)
# No test writes a file near this size; a runaway writer stops here instead of filling the disk.
ulimit -f $((32 * 1024 * 1024))

configure() {  # dir, extra cmake arguments... (TARGET names one target to build, else all)
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$py" -DTESSARUNE_PYTHON=OFF \
        -DTESSARUNE_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs" ${TARGET:+--target "$TARGET"}
}

echo "== layers"
"$py" scripts/check_layers.py

echo "== engine tests (address, undefined)"
# The extension is built here too, sharing the engine's objects, for the last stage.
configure build/asan -DCMAKE_BUILD_TYPE=Debug -DTESSARUNE_SANITIZE=address,undefined \
    -DTESSARUNE_PYTHON=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== engine tests (thread)"
configure build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARUNE_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -j "$jobs"

echo "== python tests"
TARGET=_tessarune_keytest configure build/testing -DCMAKE_BUILD_TYPE=Release
"$py" -m pip install -q --no-build-isolation -C build-dir=build/{wheel_tag} .
TESSARUNE_TESTING_DIR="$root/build/testing" "$py" -m pytest -q tests

echo "== wheel"
bash scripts/wheel_test.sh

echo "== python tests (address, undefined)"
# The interpreter is not instrumented, so the runtime is preloaded; PYTHONMALLOC=malloc lets
# it see the interpreter's own allocations, and leaks are left to the engine tests (the
# interpreter keeps much alive at exit on purpose). Reports go to files, so that one from a
# child process fails the run even when its test does not look at the exit status; Python's
# output alone is captured, so that a report the runtime writes to the descriptor itself shows.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/asan/CMakeCache.txt)
reports="$root/build/asan/python-reports"
rm -rf "$reports" && mkdir -p "$reports"
LD_PRELOAD="$("$cxx" -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    PYTHONPATH="$root/build/asan" TESSARUNE_TESTING_DIR="$root/build/asan" \
    TESSARUNE_COMMAND="$root/build/asan/tessarune" \
    "$py" -m pytest -q -m "not slow" -p no:cacheprovider --capture=sys tests
if [ -n "$(ls -A "$reports")" ]; then
    cat "$reports"/*
    echo "sanitizer reports from the python tests: see above" >&2
    exit 1
fi
