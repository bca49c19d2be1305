"""--sim: kq2741-sim started for a server's lifetime."""
from __future__ import annotations

import os
import selectors
import shutil
import subprocess
import sysconfig
import time

from ._program import EXIT_PORT, Exit

START_TIMEOUT = 5.0


class SimulatorFailed(OSError):
    pass


def _program() -> str | None:
    # The wheel installs kq2741-sim beside this Python's scripts; that one
    # belongs to this package, whatever PATH says.
    return shutil.which("kq2741-sim", path=sysconfig.get_path("scripts")) or shutil.which("kq2741-sim")


class Simulator:
    def __init__(self, channels: int):
        program = _program()
        if program is None:
            raise SimulatorFailed("cannot start kq2741-sim: not beside this Python, nor on PATH")
        # Its input is a pipe only this process writes to: when the IOC ends,
        # however (SIGKILL included), the pipe closes and the simulator stops.
        self.proc = subprocess.Popen([program, "--channels", str(channels), "--stop-with-stdin"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.port = self._read_port()
        except BaseException:
            self.stop()
            raise

    def _read_port(self) -> str:
        assert self.proc.stdout is not None
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + START_TIMEOUT
        line = b""
        with selectors.DefaultSelector() as sel:
            sel.register(fd, selectors.EVENT_READ)
            while b"\n" not in line:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise SimulatorFailed(f"kq2741-sim printed no port within {START_TIMEOUT:g} s")
                if sel.select(left):
                    chunk = os.read(fd, 256)
                    if not chunk:
                        raise SimulatorFailed(f"kq2741-sim exited with {self.proc.wait(START_TIMEOUT)} "
                                              "before printing its port")
                    line += chunk
        return line.split(b"\n", 1)[0].decode()

    def stop(self, timeout: float = 2.0) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for pipe in (self.proc.stdin, self.proc.stdout):
            if pipe is not None:
                pipe.close()


def started_or_given(sim: bool, port: str | None, channels: tuple[int, ...]) -> tuple[Simulator | None, str]:
    """The port a server drives: its own simulator's, with enough channels
    for the ones it serves, or the one it was given."""
    if not sim:
        assert port is not None
        return None, port
    try:
        simulator = Simulator(max(channels))
    except OSError as error:
        raise Exit(EXIT_PORT, str(error)) from None
    return simulator, simulator.port
