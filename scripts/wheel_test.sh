#!/usr/bin/env bash
# Builds the wheel and checks that it stands alone: it carries the native `tessarune` command,
# and neither the command nor the extension needs liblz4, libxxhash or a compression library
# of the system's (zlib, libzstd, libbz2, liblzma), nor exports their functions: they are linked
# in from their archives, or for the extension copied into the wheel where an archive cannot go
# into a shared object. Installed with no compiler and no package index into a new virtual
# environment, with liblz4 and libxxhash hidden from the loader, the command sorts lines that
# spill as `LC_ALL=C sort` does, and the extension imports and reads compressed inputs; with the
# compression libraries hidden too (which the interpreter's own modules need), the command
# reads them.
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
    # A copy the wheel carries is named libNAME-HASH.so: only the system's own names are refused,
    # and only the symbols the file defines (not those it takes from such a copy).
    if readelf -d -W "$elf" | grep -E 'NEEDED.*\[lib(z|zstd|bz2|lzma)\.so' ||
            readelf --dyn-syms -W "$elf" | awk '$7 != "UND" {print $8}' |
            grep -E '^(deflate|inflate|ZSTD_|BZ2_|lzma_)'; then
        echo "wheel-test: $(basename "$elf") needs the system's zlib, libzstd, libbz2 or liblzma, or exports their symbols" >&2
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
# The same lines as JSON Lines in each compressed format, made before the libraries are hidden.
"$py" -c 'import bz2, gzip, json, lzma, sys
from compression import zstd
work = sys.argv[1]
text = b"".join(json.dumps({"k": line.split()[0]}).encode() + b"\n"
                for line in open(work + "/input").read().splitlines()[:20000])
open(work + "/records.jsonl", "wb").write(text)
for suffix, compress in (("gz", gzip.compress), ("bz2", bz2.compress), ("xz", lzma.compress),
                         ("zst", zstd.compress)):
    open(work + "/records.jsonl." + suffix, "wb").write(compress(text))' "$work"
"$py" -c 'import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
sys.stdout.write("".join(json.dumps(row) + "\n" for row in sorted(rows, key=lambda row: row["k"])))' \
    "$work/records.jsonl" > "$work/records.expected"

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
# The extension reads compressed inputs. The interpreter's own modules (which the package
# imports) need the system's compression libraries, so they stay for it.
for suffix in gz bz2 xz zst; do
    "$work/venv/bin/python" -c 'import sys, tessarune
tessarune.sort_files([sys.argv[1]], sys.argv[2], format="jsonl", key="k")' \
        "$work/records.jsonl.$suffix" "$work/records.out"
    cmp "$work/records.out" "$work/records.expected"
done
# The command needs none of them: hidden now, zlib too.
for lib in ${CODEC_LIBS:-}; do mount --bind /dev/null "$lib"; done
for suffix in gz bz2 xz zst; do
    "$work/venv/bin/tessarune" --jsonl -k k -o "$work/records.out" "$work/records.jsonl.$suffix"
    cmp "$work/records.out" "$work/records.expected"
done
INNER
mapfile -t libs < <(ldconfig -p | sed -n 's/.*\(liblz4\|libxxhash\)\.so.* => //p' | sort -u)
mapfile -t codecs < <(ldconfig -p | sed -n 's/.*\(libz\|libzstd\|libbz2\|liblzma\)\.so.* => //p' | sort -u)
if [ "${#libs[@]}" -gt 0 ] && unshare -m true 2>/dev/null; then
    echo "wheel-test: hiding ${libs[*]}, then for the command ${codecs[*]}"
    CODEC_LIBS="${codecs[*]}" unshare -m bash "$work/hidden.sh" "$work" "$want" "${libs[@]}"
else
    # No private mount namespace here (not root): the readelf check above stands in for it.
    echo "wheel-test: cannot hide the libraries here; relying on the readelf check"
    bash "$work/hidden.sh" "$work" "$want"
fi
echo "wheel-test: the wheel's command and extension run without liblz4, libxxhash or the compression libraries"
