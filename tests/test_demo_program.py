"""The kq2741 demonstration program, run as a separate process."""
from __future__ import annotations

import importlib.metadata
import json
import os
import signal
import subprocess

import pytest

import programs

PROGRAM = programs.find("kq2741")
pytestmark = pytest.mark.needs("kq2741")

DEFAULT_PORT = "/dev/cu.PL2303G-USBtoUART2110"

# Loaded by the program's interpreter at start-up: replaces pyserial's Serial
# with a scripted instrument and makes the 5 s pauses instant.
FAKE_INSTRUMENT = '''
import serial, time

def frame(*head):
    return bytes([*head, (-sum(head)) & 0xFF, 0x7D])

ANSWERS = {
    (0x00, 0x03): lambda ch: frame(0x7B, ch, 8, 0x00, 0x03, 2, 50, 32),
    (0x07, 0x2E): lambda ch: frame(0x7B, ch, 10, 0x07, 0x2E, 2, 0x1E, 0x05, 0x0E, 0x06),
    (0x14, 0x36): lambda ch: frame(0x7B, ch, 10, 0x14, 0x36, 0, 0, ch - 1, 0x6E, 0x00),
}
LOG = []

class Serial:
    def __init__(self, port, *args, **kwargs):
        self.buffer = b""
        LOG.append(("open", port, args, kwargs))

    def write(self, data):
        data = bytes(data)
        LOG.append(("write", data.hex()))
        if FAIL_ON_WRITE and len(LOG) > FAIL_ON_WRITE:
            raise serial.SerialException("device reports readiness to read but returned no data")
        self.buffer += ANSWERS.get((data[3], data[4]), lambda ch: frame(0x7B, ch, 6, data[3], data[4], 0))(data[1])

    def inWaiting(self):
        return len(self.buffer)

    def read(self, n):
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def close(self):
        LOG.append(("close",))
        import json, os, sys
        main = sys.modules["__main__"]
        LOG.append(("globals", main.opat_port, type(main.kq).__name__, main.len_list, main.dev_status))
        with open(os.environ["KQ_LOG"], "w") as f:
            json.dump(LOG, f)

serial.Serial = Serial
time.sleep = lambda seconds: LOG.append(("sleep", seconds))
'''


def run(args=(), fake=None, fail_on_write=0, tmp_path=None):
    env = dict(os.environ)
    if fake is not None:
        site = tmp_path / "site"
        site.mkdir(exist_ok=True)
        (site / "sitecustomize.py").write_text(f"FAIL_ON_WRITE = {fail_on_write}\n" + fake)
        env["PYTHONPATH"] = str(site)
        env["KQ_LOG"] = str(tmp_path / "log.json")
    return subprocess.run([PROGRAM, *args], capture_output=True, text=True, env=env, timeout=60)


def test_without_instrument_reports_the_default_port_and_exits_0():
    result = run()
    lines = result.stdout.splitlines()
    assert result.returncode == 0, result.stderr
    assert lines[-1] == f"open serial port:{DEFAULT_PORT} failed!"
    assert lines[0].startswith("Cannot open serial port")


def test_port_argument_is_used():
    result = run(["/dev/kq2741-nowhere"])
    assert result.returncode == 0
    assert result.stdout.splitlines()[-1] == "open serial port:/dev/kq2741-nowhere failed!"


@pytest.mark.parametrize("option", ["--help", "-h"])
def test_help_says_what_the_run_changes_and_opens_nothing(option):
    result = run([option])
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.startswith("usage: kq2741 [PORT]\n")
    for needed in (DEFAULT_PORT, "channels 1 and 2", "pauses 5 s", "Caution", "Exit status"):
        assert needed in result.stdout.replace("\n", " ")
    assert "Cannot open serial port" not in result.stdout


def test_version_is_the_packages():
    result = run(["--version"])
    assert (result.returncode, result.stdout) == (0, f"kq2741 {importlib.metadata.version('kq2741')}\n")


@pytest.mark.parametrize("args", [["-x"], ["--port=/dev/ttyUSB0"], ["/dev/ttyUSB0", "/dev/ttyUSB1"]])
def test_a_bad_option_or_argument_is_one_line_and_status_2(args):
    result = run(args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("kq2741: ") and result.stderr.count("\n") == 1


def test_a_reader_that_goes_away_ends_the_run_quietly_by_sigpipe():
    # As `kq2741 PORT | head -1` does once head has its line.
    program = subprocess.Popen([PROGRAM, "/dev/kq2741-nowhere"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    program.stdout.close()
    complaint = program.stderr.read()
    assert (program.wait(timeout=60), complaint) == (-signal.SIGPIPE, b"")


def test_full_demonstration_against_a_scripted_instrument(tmp_path):
    result = run(["/dev/kq2741-fake"], fake=FAKE_INSTRUMENT, tmp_path=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "{'module_version': 2, 'hard_version': 50, 'soft_version': 32}",
        "[1310, 1550]",
        "[1310, 1550]",
        "{'dev_work_mode': 0, 'optical_length_index': 0, 'attenuation': 1100}",
        "{'dev_work_mode': 0, 'optical_length_index': 1, 'attenuation': 1100}",
        "succ close full screen!",
    ]
    log = json.loads((tmp_path / "log.json").read_text())
    writes = [entry[1] for entry in log if entry[0] == "write"]
    assert writes == [
        "7b010500037c7d",
        "7b0105072e4a7d",
        "7b0205072e497d",
        "7b01051436357d",
        "7b02051436347d",
        "7b0107143c6e00bf7d",
        "7b0207143c6e00be7d",
        "7b010714340000357d",
        "7b020714340000347d",
        "7b010500057a7d",
    ]
    assert [e for e in log if e[0] == "sleep"].count(["sleep", 5]) == 2
    assert log[0] == ["open", "/dev/kq2741-fake", [115200, 8, "N"], {"timeout": 50, "stopbits": 1}]
    assert log[-2] == ["close"]
    assert log[-1] == ["globals", "/dev/kq2741-fake", "KQ2741", [1310, 1550],
                       {"dev_work_mode": 0, "optical_length_index": 1, "attenuation": 1100}]


def test_exception_ends_the_run_with_a_traceback_and_nonzero_status(tmp_path):
    result = run(["/dev/kq2741-fake"], fake=FAKE_INSTRUMENT, fail_on_write=3, tmp_path=tmp_path)
    assert result.returncode == 1
    assert result.stderr.startswith("Traceback (most recent call last):")
    assert result.stderr.rstrip().endswith(
        "serial.serialutil.SerialException: device reports readiness to read but returned no data")


def test_class_keeps_its_module_name_when_run_as_main(tmp_path):
    probe = "import sys\nprint(sys.modules['__main__'].KQ2741.__module__, file=sys.stderr)\n"
    site = tmp_path / "site"
    site.mkdir()
    # runs after the program's module finished: print what the class says its module is
    (site / "sitecustomize.py").write_text(f"import atexit\natexit.register(lambda: exec({probe!r}))\n")
    env = dict(os.environ, PYTHONPATH=str(site))
    result = subprocess.run([PROGRAM, "/dev/kq2741-nowhere"], capture_output=True, text=True, env=env, timeout=60)
    assert result.stderr.strip() == "kq2741"
