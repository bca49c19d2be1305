"""Run kq2741-tango from the tests and benchmarks, on this machine only.

    with Server("-p", sim.port, "--channels", "1-2") as server:
        dev = tango.DeviceProxy(server.url)     # tango://127.0.0.1:N/kq2741/attenuator/1#dbase=no

Without a database the server binds 127.0.0.1 by default; Database() runs
PyTango's own database server on 127.0.0.1 and a free port, for the start
with a database.
"""
from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import programs

LOOPBACK = "127.0.0.1"


def free_port() -> int:
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


class Server:
    """One kq2741-tango process; start() returns once it printed its URL."""

    def __init__(self, *args, env: dict[str, str] | None = None, start_timeout: float = 15.0):
        self.args = [str(a) for a in args]
        self.env = {**os.environ, **(env or {})}
        self.start_timeout = start_timeout
        self.proc: subprocess.Popen | None = None
        self.url = ""
        self._tmp = tempfile.TemporaryDirectory(prefix="kq2741-tango-")
        self._stderr = Path(self._tmp.name) / "stderr.log"

    def start(self, serve: bool = True) -> "Server":
        with open(self._stderr, "wb") as err:
            self.proc = subprocess.Popen([programs.find("kq2741-tango"), *self.args], env=self.env,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        if serve:
            try:
                self.url = programs.first_line(self.proc, self.start_timeout)
            except (TimeoutError, EOFError):
                self.close()
                raise RuntimeError(f"kq2741-tango did not serve: {self.log()!r}") from None
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
                raise RuntimeError(f"kq2741-tango still ran {timeout} s after signal {sig}") from None
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

    def __enter__(self) -> "Server":
        return self.start() if self.proc is None else self

    def __exit__(self, *exc) -> None:
        self.close()


class Database:
    """PyTango's database server (sqlite in a temporary folder) on 127.0.0.1;
    `env` is TANGO_HOST for the servers and clients that use it."""

    def __init__(self, start_timeout: float = 20.0):
        self._tmp = tempfile.TemporaryDirectory(prefix="kq2741-tango-db-")
        self.port = free_port()
        self.env = {"TANGO_HOST": f"{LOOPBACK}:{self.port}"}
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "tango.databaseds.database", "2", "--host", LOOPBACK, "--port", str(self.port)],
            env={**os.environ, **self.env, "PYTANGO_DATABASE_NAME": str(Path(self._tmp.name) / "tango.db")},
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + start_timeout
        while not self._answers():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError("the Tango database server did not start")
            time.sleep(0.1)

    def _answers(self) -> bool:
        import tango

        try:
            self.client = tango.Database(LOOPBACK, self.port)
        except tango.DevFailed:
            return False
        return True

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._tmp.cleanup()

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
