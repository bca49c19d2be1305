"""One server program the tests start (kq2741-ioc, kq2741-panel,
kq2741-tango): started with its stderr kept in a file, ready once it printed
its first line on stdout, stopped by a signal, and never left running.

    class Ioc(ServerProcess):
        program = "kq2741-ioc"
"""
from __future__ import annotations

import os
import signal
import subprocess
import tempfile
from pathlib import Path

import programs


class ServerProcess:
    program = ""  # the name tests/programs.py finds it by

    def __init__(self, *args, env: dict[str, str] | None = None, start_timeout: float = 10.0):
        self.args = [str(a) for a in args]
        self.env = {**os.environ, **(env or {})}
        self.start_timeout = start_timeout
        self.proc: subprocess.Popen | None = None
        self.line = ""  # its first line, without the newline
        self._tmp = tempfile.TemporaryDirectory(prefix=self.program + "-")
        self._stderr = Path(self._tmp.name) / "stderr.log"

    def start(self, serve: bool = True):
        """Starts it; with serve, returns once it printed its first line."""
        with open(self._stderr, "wb") as err:
            self.proc = subprocess.Popen([programs.find(self.program), *self.args], env=self.env,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        if serve:
            try:
                self.line = programs.first_line(self.proc, self.start_timeout)
            except TimeoutError:
                log = self.log()
                self.close()
                raise RuntimeError(f"{self.program} printed nothing within {self.start_timeout} s: {log!r}") from None
            except EOFError:
                status, log = self.proc.wait(5), self.log()
                self.close()
                raise RuntimeError(f"{self.program} exited with {status}: {log!r}") from None
        return self

    def wait(self, timeout: float = 10.0) -> int:
        assert self.proc is not None
        return self.proc.wait(timeout)

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 5.0) -> int:
        """The signal, then the exit status (killed after timeout, and then raises)."""
        assert self.proc is not None
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise RuntimeError(f"{self.program} still ran {timeout} s after signal {sig}") from None
        return self.proc.returncode

    def log(self) -> str:
        return self._stderr.read_text(errors="replace") if self._stderr.exists() else ""

    def close(self) -> None:
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            if self.proc.stdout is not None:
                self.proc.stdout.close()
        self._tmp.cleanup()

    def __enter__(self):
        return self.start() if self.proc is None else self

    def __exit__(self, *exc) -> None:
        self.close()
