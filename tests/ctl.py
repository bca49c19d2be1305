"""Run kq2741ctl from the tests; tests/programs.py finds it."""
from __future__ import annotations

import os
import subprocess

import programs


def find_ctl() -> str | None:
    return programs.find("kq2741ctl")


def run_ctl(*args, stdin: str | None = None, env: dict | None = None, wrapper: tuple = (),
            timeout: float = 10) -> subprocess.CompletedProcess:
    """One run with text output captured; KQ2741_PORT is unset unless env sets it.
    wrapper goes before the binary (e.g. setpriv and its options)."""
    full_env = {k: v for k, v in os.environ.items() if k != "KQ2741_PORT"}
    full_env.update(env or {})
    return subprocess.run([*wrapper, find_ctl(), *map(str, args)], input=stdin or "",
                          capture_output=True, text=True, env=full_env, timeout=timeout)
