"""What a framework module or program says when its framework is missing: one
line naming the pip command that works where this kq2741 came from (by name
where kq2741 is installed, from the checkout where it is not)."""
from __future__ import annotations

import subprocess
import sys

import pytest

# Run in a fresh interpreter: the framework blocked in sys.modules, and with
# `installed` False, kq2741's own distribution hidden, as for a build tree.
HIDE_DISTRIBUTION = """
from importlib import metadata
found = metadata.distribution
def distribution(name):
    if name == "kq2741":
        raise metadata.PackageNotFoundError(name)
    return found(name)
metadata.distribution = distribution
"""


def run(blocked: str, statement: str, installed: bool) -> subprocess.CompletedProcess[str]:
    code = f"import sys\nsys.modules[{blocked!r}] = None\n{'' if installed else HIDE_DISTRIBUTION}{statement}\n"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


def install_line(extra: str, installed: bool) -> str:
    return f'pip install "kq2741[{extra}]"' if installed else f'pip install ".[{extra}]" in the kq2741 checkout'


@pytest.mark.parametrize("installed", [True, False], ids=["installed", "build-tree"])
@pytest.mark.parametrize("blocked, module, says, extra", [
    ("qcodes", "kq2741ctl.qcodes", "needs QCoDeS (qcodes is missing)", "qcodes"),
    ("pymeasure", "kq2741ctl.pymeasure", "needs PyMeasure (pymeasure is missing)", "pymeasure"),
    ("ophyd_async", "kq2741ctl.ophyd", "needs ophyd-async and bluesky (ophyd_async is missing)", "bluesky"),
])
def test_a_module_without_its_framework_raises_one_error_naming_the_install(blocked, module, says, extra, installed):
    result = run(blocked, f"import {module}", installed)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.splitlines()[-1] == f"ModuleNotFoundError: {module} {says}: {install_line(extra, installed)}"
    # Raised from None: the framework's own import error is not shown as a second traceback.
    assert result.stderr.count("Traceback") == 1


@pytest.mark.parametrize("installed", [True, False], ids=["installed", "build-tree"])
@pytest.mark.parametrize("blocked, program, says, extra", [
    ("starlette", "kq2741ctl.panel", "kq2741-panel: Starlette and uvicorn are not installed", "panel"),
    ("tango", "kq2741ctl.tango", "kq2741-tango: PyTango is not installed", "tango"),
])
def test_a_program_without_its_framework_says_what_to_install_and_exits_2(blocked, program, says, extra, installed):
    result = run(blocked, f"from {program} import main\nmain(['--sim'])", installed)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"{says}: {install_line(extra, installed)}\n"
