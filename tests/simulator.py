"""Run kq2741-sim, the simulated KQ2741 on a pseudo-terminal, from Python.

    with Simulator("--channels", 2) as sim:
        port = serial.Serial(sim.port)
        ...
        assert sim.state()["channels"][0]["attenuation_steps"] == 110

tests/programs.py finds the binary.
"""

from __future__ import annotations

import json
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import programs


class SimulatorError(RuntimeError):
    pass


def find_binary() -> str | None:
    """Path of the simulator, or None when it is nowhere to be found."""
    return programs.find("kq2741-sim")


def after_release(run, seconds: float = 2.0):
    """run() until it succeeds (returncode 0) or `seconds` pass; its last result.

    A client killed while it held the port leaves TIOCEXCL set; the simulator
    takes it off when it reads the close, a moment after the kernel made it,
    where a real port's driver does so within the close itself."""
    deadline = time.monotonic() + seconds
    while True:
        result = run()
        if result.returncode == 0 or time.monotonic() > deadline:
            return result
        time.sleep(0.01)


def _option_value(args: list[str], name: str) -> str | None:
    for i, arg in enumerate(args):
        if arg == name and i + 1 < len(args):
            return args[i + 1]
        if arg.startswith(name + "="):
            return arg.split("=", 1)[1]
    return None


class Simulator:
    """One simulator process. Extra arguments go to the binary unchanged.

    A state file in a private temporary folder is added unless the arguments
    name one, so state() always works.
    """

    def __init__(self, *args, binary: str | None = None, start_timeout: float = 5.0):
        self.args = [str(a) for a in args]
        self.binary = binary or find_binary()
        if not self.binary:
            raise SimulatorError(programs.missing("kq2741-sim"))
        self.start_timeout = start_timeout
        self.port: str | None = None
        self.proc: subprocess.Popen | None = None
        self._tmp: tempfile.TemporaryDirectory | None = None
        self._state_path: Path | None = None
        self._log_path: Path | None = None

    def start(self) -> "Simulator":
        if self.proc is not None:
            raise SimulatorError("already started")
        self._tmp = tempfile.TemporaryDirectory(prefix="kq2741-sim-")
        tmp = Path(self._tmp.name)
        args = list(self.args)
        given = _option_value(args, "--state-file")
        if given is None:
            self._state_path = tmp / "state.json"
            args += ["--state-file", str(self._state_path)]
        else:
            self._state_path = Path(given)
        # stderr goes to a file: a verbose simulator would fill a pipe nobody reads.
        self._log_path = tmp / "stderr.log"
        with open(self._log_path, "wb") as log:
            self.proc = subprocess.Popen(
                [self.binary, *args],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=log,
            )
        try:
            self.port = self._read_port_line()
        except BaseException:
            self.close()
            raise
        return self

    def _read_port_line(self) -> str:
        assert self.proc is not None
        try:
            return programs.first_line(self.proc, self.start_timeout)
        except TimeoutError:
            raise SimulatorError(f"no port printed within {self.start_timeout} s; stderr: {self.log()!r}") from None
        except EOFError:
            rc = self.proc.wait(timeout=self.start_timeout)
            raise SimulatorError(f"exited with {rc} before printing its port; stderr: {self.log()!r}") from None

    @property
    def pid(self) -> int:
        assert self.proc is not None
        return self.proc.pid

    @property
    def returncode(self) -> int | None:
        return None if self.proc is None else self.proc.poll()

    def state(self) -> dict:
        """Instrument state as last written by the simulator."""
        assert self._state_path is not None, "not started"
        return json.loads(self._state_path.read_text())

    def log(self) -> str:
        """Everything the simulator wrote on stderr so far."""
        if self._log_path is None or not self._log_path.exists():
            return ""
        return self._log_path.read_text(errors="replace")

    def signal(self, sig: int) -> None:
        assert self.proc is not None
        self.proc.send_signal(sig)

    def stop(self, timeout: float = 5.0) -> int:
        """SIGTERM, then wait; returns the exit status."""
        assert self.proc is not None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill()
                raise SimulatorError(f"did not stop within {timeout} s of SIGTERM") from None
        return self.proc.returncode

    def kill(self) -> int:
        assert self.proc is not None
        if self.proc.poll() is None:
            self.proc.kill()
        return self.proc.wait()

    def close(self) -> None:
        """Stop the process if it still runs and remove the temporary folder."""
        if self.proc is not None:
            if self.proc.poll() is None:
                try:
                    self.stop()
                except SimulatorError:
                    pass
            if self.proc.stdout is not None:
                self.proc.stdout.close()
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None

    def __enter__(self) -> "Simulator":
        return self.start() if self.proc is None else self

    def __exit__(self, *exc) -> None:
        self.close()
