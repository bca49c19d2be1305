"""The one line that says what to install when a framework is missing.

Where kq2741 is installed (from a wheel or a checkout), pip adds an extra to
it by name, ``pip install "kq2741[qcodes]"``, fetching only the framework and
building nothing; kq2741 itself is on no index, so where it is not installed
(a build tree on sys.path) only the checkout's ``pip install ".[qcodes]"``
works.
"""
from __future__ import annotations

from importlib import metadata


def install_line(extra: str) -> str:
    """The pip command that brings in the extra `extra` here."""
    try:
        metadata.distribution("kq2741")
    except metadata.PackageNotFoundError:
        return f'pip install ".[{extra}]" in the kq2741 checkout'
    return f'pip install "kq2741[{extra}]"'


def missing_framework(module: str, needs: str, extra: str, error: ModuleNotFoundError) -> ModuleNotFoundError:
    """What `module` raises when importing its framework failed with `error`."""
    # The package, not the submodule the import named (pymeasure.adapters).
    package = (error.name or "a module").partition(".")[0]
    return ModuleNotFoundError(f"{module} needs {needs} ({package} is missing): {install_line(extra)}",
                               name=package)
