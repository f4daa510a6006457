#!/usr/bin/env python3
"""Fails when a file under src/<layer>/ includes a header of a layer above its own.

The layers, lowest first: base, key, format, run, merge, sorter, job, then the two front doors
python and command. A file may include headers
of its own layer and of the layers below it. The build enforces the same rule; this check
says it in one line per offending include, for every file at once.
"""
import pathlib
import re
import sys

LAYERS = ["base", "key", "format", "run", "merge", "sorter", "job", "python", "command"]
# The front doors stand side by side at the top: neither includes the other.
FRONT_DOORS = {"python", "command"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/')


def violations(src: pathlib.Path):
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cc") or not path.is_file():
            continue
        layer = path.relative_to(src).parts[0]
        if layer not in LAYERS:
            yield f"{path}: not inside a layer ({', '.join(LAYERS)})"
            continue
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target = m.group(1)
            if target not in LAYERS:
                yield f"{path}:{number}: includes {target}/, which is not a layer"
            elif target != layer and {target, layer} <= FRONT_DOORS:
                yield f"{path}:{number}: {layer} includes {target}/, another front door"
            elif LAYERS.index(target) > LAYERS.index(layer):
                yield f"{path}:{number}: {layer} includes {target}/, a layer above it"


def main(argv):
    src = pathlib.Path(argv[1] if len(argv) > 1 else pathlib.Path(__file__).parent.parent / "src")
    found = list(violations(src))
    for v in found:
        print(v, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
