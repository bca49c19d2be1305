"""Access security: who may write what, from the built-in file or a site's own."""
from __future__ import annotations

import ctypes
import os
from pathlib import Path

BUILT_IN = Path(__file__).with_name("access.acf")


class Unreadable(Exception):
    """The file cannot be opened."""


def use(path: str | None) -> str:
    """Makes iocInit load path (the built-in file when None). Returns the
    absolute path; Unreadable when it cannot be opened."""
    from epicscorelibs.ioc import dbCore  # type: ignore[import-untyped]

    chosen = os.path.abspath(BUILT_IN if path is None else path)
    try:
        with open(chosen, "rb"):
            pass
    except OSError as error:
        raise Unreadable(f"{chosen}: {error.strerror or error}") from None
    load = dbCore.asSetFilename
    load.argtypes, load.restype = (ctypes.c_char_p,), ctypes.c_int
    load(os.fsencode(chosen))
    return chosen


def active() -> bool:
    """After iocInit: whether the rules are in force. EPICS refuses to start
    the IOC on a file it cannot parse; this is how the program learns it."""
    from epicscorelibs.ioc import Com  # type: ignore[import-untyped]

    return bool(ctypes.c_int.in_dll(Com, "asActive").value)
