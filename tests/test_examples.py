"""The example scripts, run against the simulated instrument, and the typing
of the examples and of the installed stubs."""
from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from simulator import Simulator

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
needs_sim = pytest.mark.needs("kq2741-sim")


def run(script: str, *args: str) -> subprocess.CompletedProcess[str]:
    """The script copied alone into an empty folder, as the README invites."""
    with tempfile.TemporaryDirectory() as alone:
        copy = shutil.copy(EXAMPLES / script, alone)
        return subprocess.run([sys.executable, copy, *args], capture_output=True, text=True, timeout=60)


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
    assert "channel 4: 4200 mdB (set 4200)" in result.stdout
    channels = sim.state()["channels"]
    assert channels[0]["attenuation_steps"] == channels[3]["attenuation_steps"] == 0
    silent = run("two_channels.py", sim.port, "--first", "1", "--second", "9")
    assert silent.returncode == 1 and "channel 9: no answer" in silent.stdout


@needs_sim
def test_fast_sweep_downwards_reads_back_every_value(sim):
    result = run("fast_sweep.py", sim.port, "2", "1.01", "0.29", "0.36")
    assert result.returncode == 0, result.stdout + result.stderr
    assert [line.split() for line in result.stdout.splitlines()[1:]] == [["1.01", "1.01"], ["0.65", "0.65"],
                                                                        ["0.29", "0.29"]]
    assert sim.state()["channels"][1]["attenuation_steps"] == 29


@pytest.mark.parametrize(
    "script, args, complaint",
    [
        ("port_check.py", [], "the following arguments are required: port"),
        ("attenuation_sweep.py", ["p", "--step", "0"], "must be above 0"),
        ("attenuation_sweep.py", ["p", "--start", "900", "--stop", "100"], "--stop must not be below --start"),
        ("two_channels.py", ["p", "--second", "1"], "two different channels"),
        ("select_wavelength.py", ["p", "1550", "--channel", "256"], "channel must be 1 to 255"),
        ("fast_sweep.py", ["p", "1", "0", "1", "0.005"], "in steps of 0.01"),
    ],
)
def test_examples_refuse_bad_arguments_with_a_usage_line(script, args, complaint):
    result = run(script, *args)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("usage: ") and complaint in result.stderr


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


needs_mypy = pytest.mark.needs("mypy")


@needs_mypy
def test_examples_type_check_against_the_installed_stubs():
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(EXAMPLES)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout


# The compiled modules against their stubs; the rest of kq2741ctl is Python
# typed inline (stubtest would only analyse QCoDeS and PyMeasure at length).
@needs_mypy
@pytest.mark.parametrize("modules", ["kq2741", "kq2741ctl._core kq2741ctl._errors kq2741ctl._results",
                                     "kq2741ctl._simulator kq2741ctl.protocol_kq2741sim"])
def test_stubs_match_the_built_module(modules):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", *modules.split()], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
@pytest.mark.parametrize(
    "line, error",
    [
        ("kq.set_attenuation(1.5)", 'incompatible type "float"; expected "int"'),
        ("st = kq.read_current_status()\nif st: st['attenuaton']", 'TypedDict "ChannelStatus" has no key "attenuaton"'),
        ("v = kq.read_device_version()\nif v: v['version']", 'TypedDict "DeviceVersion" has no key "version"'),
    ],
)
def test_mypy_sees_wrong_arguments_and_misspelt_result_keys(tmp_path, line, error):
    script = tmp_path / "wrong.py"
    script.write_text(f"from kq2741 import KQ2741\nkq = KQ2741('p')\n{line}\n")
    result = subprocess.run([sys.executable, "-m", "mypy", str(script)], capture_output=True, text=True)
    assert result.returncode == 1 and error in result.stdout
