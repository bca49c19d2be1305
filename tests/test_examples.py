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


# Each example exists twice: on kq2741ctl.Attenuator, and as kq2741class_* on
# the class KQ2741 for code written against it; both behave alike.
BOTH = ["", "kq2741class_"]


@needs_sim
@pytest.mark.parametrize("args, rows", [
    (["--channel", "2", "--stop", "1", "--step", "0.25"], [("0.00", "0.00"), ("0.25", "0.25"), ("0.50", "0.50"),
                                                           ("0.75", "0.75"), ("1.00", "1.00")]),
    (["--channel", "2", "--start", "1.01", "--stop", "0.29", "--step", "0.36"],
     [("1.01", "1.01"), ("0.65", "0.65"), ("0.29", "0.29")]),
    (["--channel", "2", "--start", "0.3", "--stop", "0.3", "--dwell", "0.01"], [("0.30", "0.30")]),
], ids=["up", "down", "one-point"])
def test_sweep_reads_back_every_value(sim, args, rows):
    result = run("attenuation_sweep.py", sim.port, *args)
    assert result.returncode == 0, result.stdout + result.stderr
    assert [tuple(line.split()) for line in result.stdout.splitlines()[1:]] == rows
    assert sim.state()["channels"][1]["attenuation_steps"] == round(float(rows[-1][0]) * 100)
    assert result.stderr.startswith(f"{len(rows)} points in ")


@needs_sim
def test_kq2741class_sweep_reads_back_every_value_in_mdb(sim):
    result = run("kq2741class_attenuation_sweep.py", sim.port, "--channel", "2", "--stop", "1005", "--step", "335")
    assert result.returncode == 0, result.stdout + result.stderr
    rows = [line.split() for line in result.stdout.splitlines()[1:]]
    assert rows == [["0", "0"], ["335", "330"], ["670", "670"], ["1005", "1000"]]


@needs_sim
@pytest.mark.parametrize("prefix", BOTH)
@pytest.mark.parametrize("wavelength, channel, status, index", [
    ("1625", "3", 0, 1), ("1625", "1", 1, None), ("1490", "1", 0, 1)])
def test_select_wavelength(sim, prefix, wavelength, channel, status, index):
    result = run(f"{prefix}select_wavelength.py", sim.port, wavelength, "--channel", channel)
    assert result.returncode == status, result.stdout + result.stderr
    if status == 0:
        assert result.stdout.splitlines()[-1] == f"channel {channel} now at {wavelength} nm"
        assert sim.state()["channels"][int(channel) - 1]["wavelength_index"] == index
    else:
        assert ("no supported yet" if prefix else "does not support 1625 nm") in result.stdout


@needs_sim
@pytest.mark.parametrize("prefix, shown", [("", "channel 4: 4.20 dB (set 4.2)"),
                                           ("kq2741class_", "channel 4: 4200 mdB (set 4200)")])
def test_two_channels(sim, prefix, shown):
    result = run(f"{prefix}two_channels.py", sim.port, "--first", "1", "--second", "4")
    assert result.returncode == 0, result.stdout + result.stderr
    assert shown in result.stdout
    channels = sim.state()["channels"]
    assert channels[0]["attenuation_steps"] == channels[3]["attenuation_steps"] == 0
    silent = run(f"{prefix}two_channels.py", sim.port, "--first", "2", "--second", "9")
    assert silent.returncode == 1
    assert "channel 9: no answer" in silent.stdout if prefix else "set attenuation on channel 9" in silent.stderr
    # The channel set before the silent one is cleared again.
    assert sim.state()["channels"][1]["attenuation_steps"] == 0


@pytest.mark.parametrize(
    "script, args, complaint",
    [
        ("port_check.py", [], "the following arguments are required: port"),
        ("port_check.py", ["p", "--timeout", "0"], "must be above 0"),
        ("attenuation_sweep.py", ["p", "--step", "0"], "--step must be more than 0 dB"),
        ("attenuation_sweep.py", ["p", "--step", "0.005"], "lies between two 0.01 dB steps"),
        ("attenuation_sweep.py", ["p", "--stop", "655.36"], "above 655.35 dB"),
        ("attenuation_sweep.py", ["p", "--start", "x"], "not a number of dB"),
        ("attenuation_sweep.py", ["p", "--dwell", "-1"], "must be 0 s or more"),
        ("two_channels.py", ["p", "--second", "1"], "two different channels"),
        ("select_wavelength.py", ["p", "1550", "--channel", "256"], "channel must be 1 to 255"),
        ("select_wavelength.py", ["p", "0"], "must be above 0 nm"),
        ("kq2741class_port_check.py", [], "the following arguments are required: port"),
        ("kq2741class_attenuation_sweep.py", ["p", "--step", "0"], "must be above 0"),
        ("kq2741class_attenuation_sweep.py", ["p", "--start", "900", "--stop", "100"],
         "--stop must not be below --start"),
        ("kq2741class_attenuation_sweep.py", ["p", "--stop", "655360"], "must be 0 to 655350 mdB"),
        ("kq2741class_two_channels.py", ["p", "--second", "1"], "two different channels"),
        ("kq2741class_select_wavelength.py", ["p", "1550", "--channel", "256"], "channel must be 1 to 255"),
    ],
)
def test_examples_refuse_bad_arguments_with_a_usage_line(script, args, complaint):
    result = run(script, *args)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("usage: ") and complaint in result.stderr


@needs_sim
@pytest.mark.parametrize("prefix, answered", [("", "KQ2741 version 2.50.32"),
                                              ("kq2741class_", "version {'module_version': 2")])
def test_port_check_paths(sim, prefix, answered):
    script = f"{prefix}port_check.py"
    missing = run(script, "/dev/kq2741-missing")
    assert missing.returncode == 2 and "no such port" in missing.stdout
    result = run(script, sim.port)
    assert result.returncode == 0 and answered in result.stdout
    # Held by another program: this one.
    with open(sim.port, "rb"):
        busy = run(script, sim.port)
    assert busy.returncode == 2 and "busy" in busy.stdout
    with Simulator("--silent") as mute:
        assert run(script, mute.port).returncode == 3


# Copied alone onto a machine without what it needs, an example says so in
# one line and exits 2, with no traceback.
@pytest.mark.parametrize("script, blocked, needs", [
    ("attenuation_sweep.py", "kq2741ctl", "needs the kq2741 package (kq2741ctl is missing)"),
    ("select_wavelength.py", "serial", "needs the kq2741 package (serial is missing)"),
    ("two_channels.py", "kq2741ctl", "needs the kq2741 package (kq2741ctl is missing)"),
    ("port_check.py", "kq2741ctl", "needs the kq2741 package (kq2741ctl is missing)"),
    ("kq2741class_attenuation_sweep.py", "kq2741", "needs the kq2741 package (kq2741 is missing)"),
    ("kq2741class_attenuation_sweep.py", "kq2741ctl", "needs the kq2741 package (kq2741ctl is missing)"),
    ("kq2741class_select_wavelength.py", "kq2741", "needs the kq2741 package (kq2741 is missing)"),
    ("kq2741class_two_channels.py", "kq2741", "needs the kq2741 package (kq2741 is missing)"),
    ("kq2741class_port_check.py", "kq2741", "needs the kq2741 package (kq2741 is missing)"),
    ("ophyd_kq2741.py", "bluesky", "needs bluesky and ophyd-async (bluesky is missing)"),
    ("ophyd_kq2741.py", "ophyd_async", 'needs bluesky and ophyd-async (ophyd_async is missing): pip install "kq2741[bluesky]"'),
    ("ophyd_kq2741.py", "kq2741ctl", 'needs bluesky and ophyd-async (kq2741ctl is missing)'),
])
def test_an_example_without_its_dependency_says_what_it_needs_in_one_line(script, blocked, needs):
    with tempfile.TemporaryDirectory() as alone:
        copy = shutil.copy(EXAMPLES / script, alone)
        code = (f"import runpy, sys\nsys.modules[{blocked!r}] = None\nsys.argv = [{copy!r}, 'PORT']\n"
                f"runpy.run_path({copy!r}, run_name='__main__')")
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(f"{script} {needs}") and result.stderr.count("\n") == 1, result.stderr


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
