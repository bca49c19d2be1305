"""The example scripts, run against the simulated instrument, and the typing
of the examples and of the installed stubs."""
from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

from simulator import Simulator, find_binary

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
needs_sim = pytest.mark.skipif(find_binary() is None, reason="kq2741-sim is not built")


def run(script: str, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True, timeout=60)


@pytest.fixture(scope="module")
def sim():
    with Simulator("--channel-wavelengths", "3=1550,1625") as running:
        yield running


@needs_sim
def test_sweep_reads_back_every_value(sim):
    result = run("attenuation_sweep.py", sim.port, "--channel", "2", "--stop", "1005", "--step", "335")
    assert result.returncode == 0, result.stdout + result.stderr
    rows = [line.split() for line in result.stdout.splitlines()[1:]]
    assert rows == [["0", "0"], ["335", "330"], ["670", "670"], ["1005", "1000"]]


@needs_sim
@pytest.mark.parametrize(
    "wavelength, channel, status, index", [("1625", "3", 0, 1), ("1625", "1", 1, None), ("1490", "1", 0, 1)]
)
def test_select_wavelength(sim, wavelength, channel, status, index):
    result = run("select_wavelength.py", sim.port, wavelength, "--channel", channel)
    assert result.returncode == status, result.stdout + result.stderr
    if status == 0:
        assert result.stdout.splitlines()[-1] == f"channel {channel} now at {wavelength} nm"
        assert sim.state()["channels"][int(channel) - 1]["wavelength_index"] == index
    else:
        assert "no supported yet" in result.stdout


@needs_sim
def test_two_channels(sim):
    result = run("two_channels.py", sim.port, "--first", "1", "--second", "4")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "'attenuation': 4200" in result.stdout
    channels = sim.state()["channels"]
    assert channels[0]["attenuation_steps"] == channels[3]["attenuation_steps"] == 0


@needs_sim
def test_port_check_paths(sim):
    assert run("port_check.py", "/dev/kq2741-missing").returncode == 2
    answered = run("port_check.py", sim.port)
    assert answered.returncode == 0 and "version {'module_version': 2" in answered.stdout
    with open(sim.port, "rb"):
        busy = run("port_check.py", sim.port)
    assert busy.returncode == 2 and "busy" in busy.stdout
    with Simulator("--silent") as mute:
        assert run("port_check.py", mute.port).returncode == 3


needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


@needs_mypy
def test_examples_type_check_against_the_installed_stubs():
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(EXAMPLES)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout


@needs_mypy
def test_stubs_match_the_built_module():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "kq2741"], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_mypy_sees_wrong_argument_types(tmp_path):
    script = tmp_path / "wrong.py"
    script.write_text("from kq2741 import KQ2741\nKQ2741('p').set_attenuation(1.5)\n")
    result = subprocess.run([sys.executable, "-m", "mypy", str(script)], capture_output=True, text=True)
    assert result.returncode == 1 and 'incompatible type "float"; expected "int"' in result.stdout
