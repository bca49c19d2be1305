"""Where the suite finds the programs it runs, for every test in one place.

    kq2741       the demonstration program    $KQ2741_DEMO
    kq2741-sim   the simulated instrument     $KQ2741_SIM
    kq2741ctl    the shell control program    $KQ2741CTL
    kq2741-ioc   the EPICS IOC                $KQ2741_IOC
    kq2741-tango the Tango device server      $KQ2741_TANGO
    kq2741-panel the browser panel            $KQ2741_PANEL
    lsof         the driver's port check      PATH
    mypy         the type checker             a module of the running Python

A program is taken from its variable when that is set (a wrong setting then
fails where the program starts, never quietly), else from the scripts folder
of the running Python, where pip installs it with the module under test,
else from PATH.

A test names what it runs with the mark `needs` (pytest.mark.needs("kq2741ctl")),
and fails when one is missing: pip builds and installs the programs with the
module, tools/bootstrap.sh installs lsof and the test extra brings mypy, so a
missing one is a broken build or install, which a skip would hide. Only on
Windows, where the package builds no programs, are their tests skipped.
"""
from __future__ import annotations

import importlib.util
import os
import shutil
import sys
import sysconfig

# name -> the environment variable that says where it is (None: PATH only)
PROGRAMS = {"kq2741": "KQ2741_DEMO", "kq2741-sim": "KQ2741_SIM", "kq2741ctl": "KQ2741CTL", "kq2741-ioc": "KQ2741_IOC",
            "kq2741-tango": "KQ2741_TANGO", "kq2741-panel": "KQ2741_PANEL", "lsof": None}
MODULES = ("mypy",)


def find(name: str) -> str | None:
    """Path of the program, or None when it is nowhere to be found."""
    variable = PROGRAMS[name]
    explicit = os.environ.get(variable) if variable else None
    if explicit:
        return explicit
    return shutil.which(name, path=sysconfig.get_path("scripts")) or shutil.which(name)


def missing(name: str) -> str:
    """Where `name` was looked for, and how to provide it."""
    variable = PROGRAMS[name]
    places = [f"this Python's scripts ({sysconfig.get_path('scripts')})", "PATH"]
    if variable:
        return f"{name} is not in ${variable}, {', '.join(places)}: pip install . (or set {variable})"
    return f"{name} is not in {', '.join(places)}: install it (tools/bootstrap.sh does)"


def require(name: str) -> None:
    """Fails the running test when `name` is missing (see above)."""
    import pytest  # here, so the benchmarks can find programs without it

    if name in MODULES:
        if importlib.util.find_spec(name) is None:
            pytest.fail(f"{name} is not installed for {sys.executable}: pip install '.[test]'", pytrace=False)
        return
    if sys.platform == "win32":
        pytest.skip(f"{name}: the package builds no programs on Windows")
    if find(name) is None:
        pytest.fail(missing(name), pytrace=False)


def first_line(proc, seconds: float) -> str:
    """The first line a started program writes on its stdout pipe, without
    the newline. TimeoutError when none comes within `seconds`, EOFError
    when its output ends first."""
    import selectors
    import time

    fd = proc.stdout.fileno()
    deadline = time.monotonic() + seconds
    buf = b""
    with selectors.DefaultSelector() as sel:
        sel.register(fd, selectors.EVENT_READ)
        while b"\n" not in buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError
            if sel.select(left):
                chunk = os.read(fd, 4096)
                if not chunk:
                    raise EOFError
                buf += chunk
    return buf.split(b"\n", 1)[0].decode()
