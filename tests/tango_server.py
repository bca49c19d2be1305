"""Run kq2741-tango from the tests and benchmarks, on this machine only.

    with Server("-p", sim.port, "--channels", "1-2") as server:
        dev = tango.DeviceProxy(server.url)     # tango://127.0.0.1:N/kq2741/attenuator/1#dbase=no

Without a database the server binds 127.0.0.1 by default; Database() runs
PyTango's own database server on 127.0.0.1 and a free port, for the start
with a database.
"""
from __future__ import annotations

import os
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from servers import ServerProcess

LOOPBACK = "127.0.0.1"


def free_port() -> int:
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


class Server(ServerProcess):
    """One kq2741-tango process; start() returns once it printed its URL."""

    program = "kq2741-tango"

    def __init__(self, *args, env: dict[str, str] | None = None, start_timeout: float = 15.0):
        super().__init__(*args, env=env, start_timeout=start_timeout)

    @property
    def url(self) -> str:
        return self.line


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
