#!/usr/bin/env bash
# Builds the wheel and checks that it stands alone: it carries the native `tessarune` command,
# and neither the command nor the extension needs liblz4 or libxxhash. Installed with no
# compiler and no package index into a new virtual environment, with both libraries hidden from
# the loader, the command sorts lines that spill as `LC_ALL=C sort` does, and the extension
# imports.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
py="$root/.venv/bin/python"
work="$root/build/wheel-test"
rm -rf "$work" && mkdir -p "$work/unpacked"

bash scripts/build_wheel.sh "$work/dist"
wheel=$(ls "$work"/dist/tessarune-*manylinux*.whl)
echo "wheel-test: built $(basename "$wheel")"
"$py" -m zipfile -e "$wheel" "$work/unpacked"
ext=$(ls "$work"/unpacked/_tessarune*.so)
command=$(ls "$work"/unpacked/tessarune-*.data/scripts/tessarune 2>/dev/null || true)
if [ -d "$work/unpacked/tessarune.scripts" ]; then
    # auditwheel does this to a script that needs a library it copied into the wheel: the
    # installed command would start Python first.
    echo "wheel-test: auditwheel moved the command behind a Python wrapper; it needs:" >&2
    readelf -d "$work/unpacked/tessarune.scripts/tessarune" | grep NEEDED >&2
    exit 1
fi
if [ -z "$command" ]; then
    echo "wheel-test: the wheel carries no tessarune command in its scripts" >&2
    exit 1
fi
if ! readelf -h "$command" 2>/dev/null | grep -qE 'Type: +(EXEC|DYN)'; then
    echo "wheel-test: $command is not an ELF executable" >&2
    exit 1
fi
for elf in "$ext" "$command"; do
    if readelf -d --dyn-syms -W "$elf" | grep -E 'NEEDED.*lib(lz4|xxhash)| (LZ4|XXH)[A-Za-z0-9_]*$'; then
        echo "wheel-test: $(basename "$elf") needs a shared liblz4 or libxxhash, or shares their symbols" >&2
        exit 1
    fi
done

base_py=$("$py" -c 'import sys; print(sys._base_executable)')
"$base_py" -m venv --without-pip "$work/venv"
"$py" -m pip --python "$work/venv/bin/python" install -q --no-index --no-deps "$wheel"
if head -c 2 "$work/venv/bin/tessarune" | grep -q '#!'; then
    echo "wheel-test: the installed tessarune is a script, not the native command" >&2
    exit 1
fi

want="tessarune $(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)"
"$py" -c 'import random
rng = random.Random(5)
with open("'"$work"'/input", "w") as f:
    for i in range(300_000):
        f.write("%08x %d\n" % (rng.getrandbits(24), i % 1000))'
# Keys repeat, so the last-resort comparison of whole lines decides many pairs.
LC_ALL=C sort -k1,1 "$work/input" > "$work/expected"

# Runs inside the private mount namespace, where the libraries are empty files.
cat > "$work/hidden.sh" <<'INNER'
set -euo pipefail
work=$1 want=$2; shift 2
for lib in "$@"; do mount --bind /dev/null "$lib"; done
if [ $# -gt 0 ] && "$work/venv/bin/python" -c 'import ctypes; ctypes.CDLL("liblz4.so.1")' 2>/dev/null; then
    echo "wheel-test: liblz4 is still loadable, nothing is hidden" >&2
    exit 1
fi
cd "$work"
for got in "$("$work/venv/bin/tessarune" --version | head -n 1)" \
           "$("$work/venv/bin/python" -m tessarune --version | head -n 1)"; do
    [ "$got" = "$want" ] || { echo "wheel-test: --version says '$got', not '$want'" >&2; exit 1; }
done
"$work/venv/bin/python" -c 'import tessarune; tessarune.Sorter()'
# 1 MiB of memory for about 5 MiB of lines: runs are written with lz4 and read back by hash.
"$work/venv/bin/tessarune" -S 1M --parallel 2 --stats -k1,1 -o "$work/output" "$work/input" \
    2>"$work/stats"
grep -qE 'runs spilled +[1-9]' "$work/stats" || { cat "$work/stats"; echo "wheel-test: no spill" >&2; exit 1; }
cmp "$work/output" "$work/expected"
INNER
mapfile -t libs < <(ldconfig -p | sed -n 's/.*\(liblz4\|libxxhash\)\.so.* => //p' | sort -u)
if [ "${#libs[@]}" -gt 0 ] && unshare -m true 2>/dev/null; then
    echo "wheel-test: hiding ${libs[*]}"
    unshare -m bash "$work/hidden.sh" "$work" "$want" "${libs[@]}"
else
    # No private mount namespace here (not root): the readelf check above stands in for it.
    echo "wheel-test: cannot hide the libraries here; relying on the readelf check"
    bash "$work/hidden.sh" "$work" "$want"
fi
echo "wheel-test: the wheel's command and extension run without liblz4 or libxxhash"
