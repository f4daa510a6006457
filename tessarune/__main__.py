"""python -m tessarune: runs the native command installed with the package, in this process's
place, so that its exit status, its signals and its standard streams are the command's own."""

import os
import sys
import sysconfig


def main():
    command = os.path.join(sysconfig.get_path("scripts"), "tessarune")
    try:
        os.execv(command, [command, *sys.argv[1:]])
    except OSError as e:
        sys.stderr.write(f"python -m tessarune: cannot run {command}: {e.strerror}; the command is "
                         "installed with the package (pip install tessarune)\n")
    return 2


if __name__ == "__main__":
    sys.exit(main())
