"""python -m kq2741ctl ARGS: the kq2741ctl program installed beside this Python."""
from __future__ import annotations

import os
import shutil
import sys
import sysconfig


def main() -> None:
    program = shutil.which("kq2741ctl", path=sysconfig.get_path("scripts")) or shutil.which("kq2741ctl")
    if program is None:
        sys.stderr.write("kq2741ctl: the program is not installed beside this Python, nor on PATH\n")
        raise SystemExit(127)  # as a shell says of a command it cannot find
    os.execv(program, [program, *sys.argv[1:]])


if __name__ == "__main__":
    main()
