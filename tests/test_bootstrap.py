"""What tools/bootstrap.sh installs on a machine that lacks parts: the
decision (system_needs in tools/lib.sh) run against a PATH and an
interpreter made for each case, so nothing is installed here."""
from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

LIB = Path(__file__).resolve().parent.parent / "tools" / "lib.sh"
TOOLS = ("c++", "make", "lsof", "x86_64-w64-mingw32-g++", "wine")


def needs(tmp_path: Path, tools, python_says: str | None, python: str = "python3"):
    """system_needs with only `tools` on PATH and, unless python_says is None,
    a python3 that answers the interpreter check with python_says."""
    bin_ = tmp_path / "bin"
    bin_.mkdir()
    for tool in tools:
        (bin_ / tool).write_text("#!/bin/sh\n")
    if python_says is not None:
        (bin_ / "python3").write_text(f"#!/bin/sh\n{python_says}\n")
    for program in bin_.iterdir():
        program.chmod(0o755)
    result = subprocess.run(["/bin/bash", "-c", f'source "{LIB}" && system_needs "$0"', python],
                            env={"PATH": str(bin_)}, capture_output=True, text=True, timeout=30)
    # chromium is looked for at /usr/bin, outside the PATH made here.
    packages = {line.split()[0] for line in result.stdout.splitlines()} - {"chromium"}
    return result.returncode, packages, result.stderr


@pytest.mark.parametrize("tools, python_says, packages", [
    (TOOLS, "echo 3.11 1 1 1", set()),
    (("g++", *TOOLS[1:]), "echo 3.11 1 1 1", set()),
    (TOOLS[1:], "echo 3.11 1 1 1", {"g++"}),
    (TOOLS[:3], "echo 3.11 1 1 1", {"g++-mingw-w64-x86-64", "wine", "wine64"}),
    ((), "echo 3.11 1 1 1", {"g++", "make", "lsof", "g++-mingw-w64-x86-64", "wine", "wine64"}),
    (TOOLS, "echo 3.11 1 0 1", {"python3.11-dev"}),
    (TOOLS, "echo 3.12 1 1 0", {"python3.12-venv"}),
    (TOOLS, "echo 3.13 1 0 0", {"python3.13-dev", "python3.13-venv"}),
    (TOOLS, None, {"python3", "python3-dev", "python3-venv"}),
], ids=["all-there", "g++-only", "no-compiler", "no-windows-tools", "bare", "no-headers", "no-venv", "neither", "no-python"])
def test_what_a_debian_machine_lacks_is_installed(tmp_path, tools, python_says, packages):
    status, found, stderr = needs(tmp_path, tools, python_says)
    assert (status, found, stderr) == (0, packages, "")


@pytest.mark.parametrize("python_says, python, complaint", [
    ("echo 3.13 0 0 1", "python3", "lacks its headers, and it is not Debian's"),
    ("echo 3.13 0 1 0", "python3", "lacks its venv, and it is not Debian's"),
    ("exit 1", "python3", "python3 does not run"),
    (None, "/nonexistent/python3.12", "/nonexistent/python3.12: not found"),
], ids=["foreign-no-headers", "foreign-no-venv", "broken", "missing-named"])
def test_what_apt_cannot_give_stops_with_one_line(tmp_path, python_says, python, complaint):
    status, _, stderr = needs(tmp_path, TOOLS, python_says, python)
    assert status == 1 and stderr.count("\n") == 1 and complaint in stderr


def test_the_interpreter_running_the_tests_needs_nothing_more(tmp_path):
    # It built the module under test: its headers and venv are there.
    status, found, stderr = needs(tmp_path, TOOLS, None, sys.executable)
    assert (status, found, stderr) == (0, set(), "")
