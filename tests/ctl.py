"""Find and run kq2741ctl from the tests.

The binary is taken from $KQ2741CTL, else from PATH, else from the scripts
folder of the running Python, as tests/simulator.py finds kq2741-sim.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sysconfig

ENV_VAR = "KQ2741CTL"


def find_ctl() -> str | None:
    explicit = os.environ.get(ENV_VAR)
    if explicit:
        return explicit
    return shutil.which("kq2741ctl") or shutil.which("kq2741ctl", path=sysconfig.get_path("scripts"))


def run_ctl(*args, stdin: str | None = None, env: dict | None = None, wrapper: tuple = (),
            timeout: float = 10) -> subprocess.CompletedProcess:
    """One run with text output captured; KQ2741_PORT is unset unless env sets it.
    wrapper goes before the binary (e.g. setpriv and its options)."""
    full_env = {k: v for k, v in os.environ.items() if k != "KQ2741_PORT"}
    full_env.update(env or {})
    return subprocess.run([*wrapper, find_ctl(), *map(str, args)], input=stdin or "",
                          capture_output=True, text=True, env=full_env, timeout=timeout)
