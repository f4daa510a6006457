#!/usr/bin/env bash
# Builds the wheel and checks that it stands alone: its extension needs no liblz4 or libxxhash,
# and installed with no compiler and no package index into a new virtual environment, with
# both libraries hidden from the loader, it sorts lines that spill, as `LC_ALL=C sort -s` does.
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
if readelf -d --dyn-syms -W "$ext" | grep -E 'NEEDED.*lib(lz4|xxhash)| (LZ4|XXH)[A-Za-z0-9_]*$'; then
    echo "wheel-test: the extension needs a shared liblz4 or libxxhash, or shares their symbols" >&2
    exit 1
fi

base_py=$("$py" -c 'import sys; print(sys._base_executable)')
"$base_py" -m venv --without-pip "$work/venv"
"$py" -m pip --python "$work/venv/bin/python" install -q --no-index --no-deps "$wheel"

want="tessarune $(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)"
"$py" -c 'import random
rng = random.Random(5)
with open("'"$work"'/input", "w") as f:
    for i in range(300_000):
        f.write("%08x %d\n" % (rng.getrandbits(32), i))'
LC_ALL=C sort -s "$work/input" > "$work/expected"

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
for got in "$("$work/venv/bin/tessarune" --version)" \
           "$("$work/venv/bin/python" -m tessarune --version)"; do
    [ "$got" = "$want" ] || { echo "wheel-test: --version says '$got', not '$want'" >&2; exit 1; }
done
# 1 MiB of memory for about 5 MiB of lines: runs are written with lz4 and read back by hash.
"$work/venv/bin/tessarune" -S 1M --threads 2 --stats -o "$work/output" "$work/input" 2>"$work/stats"
grep -qE 'runs spilled +[1-9]' "$work/stats" || { cat "$work/stats"; echo "wheel-test: no spill" >&2; exit 1; }
cmp "$work/output" "$work/expected"
INNER
mapfile -t libs < <(ldconfig -p | sed -n 's/.*\(liblz4\|libxxhash\)\.so.* => //p' | sort -u)
if [ "${#libs[@]}" -gt 0 ] && unshare -m true 2>/dev/null; then
    echo "wheel-test: hiding ${libs[*]}"
    unshare -m bash "$work/hidden.sh" "$work" "$want" "${libs[@]}"
else
    # No private mount namespace here (not root): the readelf check above stands in for it.
    echo "wheel-test: cannot hide the libraries here; relying on the extension's dependencies"
    bash "$work/hidden.sh" "$work" "$want"
fi
echo "wheel-test: the wheel installs and sorts without liblz4 or libxxhash"
