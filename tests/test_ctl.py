"""kq2741ctl against the simulated KQ2741 on a real pseudo-terminal."""
from __future__ import annotations

import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

import pytest

from ctl import find_ctl, run_ctl
from simulator import Simulator, after_release, find_binary

pytestmark = pytest.mark.needs("kq2741ctl", "kq2741-sim")

CH2 = "2=1310,1550,1625"


@pytest.fixture
def sim():
    with Simulator("--channel-wavelengths", CH2) as running:
        yield running


def ctl(sim, *args, **kwargs):
    return run_ctl("-p", sim.port, *args, **kwargs)


def channel(sim, ch: int) -> dict:
    return sim.state()["channels"][ch - 1]


def records(result) -> list[dict]:
    return [json.loads(line) for line in result.stdout.splitlines()]


def failed_with(result, status: int, *phrases: str, printed: bool = False) -> bool:
    """Exit status, nothing on stdout (unless printed), and one stderr line
    holding every phrase."""
    line = result.stderr
    return (result.returncode == status and (printed or result.stdout == "")
            and line.startswith("kq2741ctl: ") and line.count("\n") == 1 and all(p in line for p in phrases))


@pytest.mark.parametrize("setup, args, expected, text, change", [
    ([], ["version"], [{"module_version": 2, "hard_version": 50, "soft_version": 32}],
     "module version    2\nhardware version  50\nsoftware version  32\n", None),
    ([], ["wavelengths", 1, 2], [{"channel": 1, "wavelengths": [1310, 1490, 1550]},
                                 {"channel": 2, "wavelengths": [1310, 1550, 1625]}],
     "channel 1     1310 nm  1490 nm  1550 nm\nchannel 2     1310 nm  1550 nm  1625 nm\n", None),
    (["set 3 12.5", "select 3 1550"], ["status", 3, 1],
     [{"channel": 3, "dev_work_mode": 0, "optical_length_index": 2, "attenuation": 12500, "wavelength": 1550},
      {"channel": 1, "dev_work_mode": 0, "optical_length_index": 0, "attenuation": 0, "wavelength": 1310}],
     "channel 3    attenuation  12.50 dB  wavelength  1550 nm  index 2    work mode 0\n"
     "channel 1    attenuation   0.00 dB  wavelength  1310 nm  index 0    work mode 0\n", None),
    ([], ["set", 2, "1.1"], [{"channel": 2, "command": "set", "attenuation": 1100, "ok": True}],
     "channel 2    attenuation set to   1.10 dB\n", (2, "attenuation_steps", 110)),
    (["set 2 3"], ["clear", 2], [{"channel": 2, "command": "clear", "ok": True}],
     "channel 2    attenuation cleared\n", (2, "attenuation_steps", 0)),
    ([], ["select", 2, 1625], [{"channel": 2, "command": "select", "wavelength": 1625, "ok": True}],
     "channel 2    wavelength 1625 nm selected\n", (2, "wavelength_index", 2)),
    ([], ["disconnect", 3], [{"channel": 3, "command": "disconnect", "ok": True}],
     "channel 3    disconnected\n", (3, "connected", False)),
    ([], ["display-close"], [{"command": "display-close", "ok": True}],
     "full-screen display closed\n", None),
    ([], ["sweep", 4, "0.5", "0.3", "0.1", "--dwell=0.01"],
     [{"channel": 4, "set": v, "attenuation": v} for v in (500, 400, 300)],
     "".join(f"channel 4    set   {v} dB  read back   {v} dB\n" for v in ("0.50", "0.40", "0.30")),
     (4, "attenuation_steps", 30)),
    ([], ["raw", "7b", "0105", "00", "03", "00", "7d"],
     [{"sent": "7b 01 05 00 03 7c 7d", "received": "7b 01 08 00 03 02 32 20 25 7d"}],
     "sent      7B 01 05 00 03 7C 7D\nreceived  7B 01 08 00 03 02 32 20 25 7D\n", None),
])
def test_every_command_in_text_and_json(sim, setup, args, expected, text, change):
    if setup:
        assert ctl(sim, "batch", stdin="\n".join(setup)).returncode == 0
    shown = ctl(sim, *args)
    assert (shown.returncode, shown.stdout, shown.stderr) == (0, text, "")
    as_json = ctl(sim, "--json", *args)
    assert (as_json.returncode, records(as_json)) == (0, expected)
    if change:
        ch, key, value = change
        assert channel(sim, ch)[key] == value


# Each of these turns into a wrong step count through binary floating point.
@pytest.mark.parametrize("value, steps", [
    ("0.29", 29), ("4.35", 435), ("2.3dB", 230), ("290mdB", 29), ("655.35", 65535), ("0", 0), ("7.000", 700),
])
def test_attenuation_is_read_as_exact_decimal(sim, value, steps):
    assert ctl(sim, "set", 1, value).returncode == 0
    assert channel(sim, 1)["attenuation_steps"] == steps


@pytest.mark.parametrize("args, phrase", [
    (["set", 1, "0.295"], "steps of 0.01 dB"),
    (["set", 1, "655.36"], "0 to 655.35 dB"),
    (["set", 1, "5mdB"], "steps of 0.01 dB"),
    (["set", 1, "1e2"], "expected dB"),
    (["set", 1, "-1"], "unknown option '-1'"),
    (["set", 0, "1"], "channel '0'"),
    (["status", 1, 256], "channel '256'"),
    (["set", 1], "expected 'set CH ATTENUATION'"),
    (["sweep", 1, "0", "1", "0"], "STEP must be more than 0"),
    (["sweep", 1, "0", "1", "0.5", "--dwell"], "--dwell needs a value"),
    (["select", 1, "1550nm"], "wavelength '1550nm'"),
    (["raw", "7b", "01", "05"], "7 to 257 bytes"),
    (["raw", "7g"], "hex bytes"),
    (["frobnicate"], "unknown command 'frobnicate'"),
    (["--timeout", "0", "status"], "--timeout '0'"),
    (["--bogus", "status"], "unknown option '--bogus'"),
    (["--sim", "status"], "-p and --sim"),
    (["set", 1, "3\n4"], "attenuation '3\\n4'"),
    (["-xy", "status"], "unknown option '-x'"),
    (["status", *[1] * 1025], "at most 1024 arguments"),
])
def test_usage_errors_send_nothing(sim, args, phrase):
    assert failed_with(ctl(sim, *args), 2, phrase)
    assert sim.state()["requests"] == 0


def test_usage_errors_come_before_the_port_is_opened():
    assert failed_with(run_ctl("status"), 2, "no port", "--sim")
    assert failed_with(run_ctl("-p", "/nonexistent/tty", "set", 1, "0.001"), 2, "steps of 0.01 dB")
    assert failed_with(run_ctl("-p", "/nonexistent/tty", "status"), 4, "/nonexistent/tty", "port name")
    assert run_ctl("status", env={"KQ2741_PORT": "/nonexistent/tty"}).returncode == 4


@pytest.mark.parametrize("sim_args, args, status, phrases", [
    (["--silent"], ["--timeout", "0.2", "status"], 3, ["no complete answer", "0.2 s", "--timeout"]),
    # status reads the channel's wavelength list first
    (["--corrupt"], ["status"], 1, ["bad checksum", "7B 01 0C 07 2E", "--lenient"]),
    (["--channels", "2"], ["--timeout", "0.1", "status", 1, 3], 3, ["wavelength list on channel 3"]),
])
def test_failures_of_the_line(sim_args, args, status, phrases):
    with Simulator(*sim_args) as quiet:
        result = run_ctl("-p", quiet.port, *args)
    assert result.returncode == status and result.stderr.count("\n") == 1
    assert all(p in result.stderr for p in phrases), result.stderr


def test_lenient_takes_an_answer_with_a_bad_checksum():
    with Simulator("--corrupt") as corrupt:
        assert run_ctl("-p", corrupt.port, "set", 2, "4.35").returncode == 1
        result = run_ctl("-p", corrupt.port, "--lenient", "--json", "status", 2)
    assert (result.returncode, records(result)[0]["attenuation"]) == (0, 4350)


def test_slow_split_answers_are_read_whole_without_waiting_for_the_time_out():
    with Simulator("--delay-ms", "150", "--split") as slow:
        start = time.monotonic()
        result = run_ctl("-p", slow.port, "--timeout", "5", "--json", "status", 1, 2)
        took = time.monotonic() - start
    assert (result.returncode, [r["channel"] for r in records(result)]) == (0, [1, 2])
    # four answers (each channel's list, then its status) of 150 ms + 50 ms, far from 4 x 5 s
    assert 0.8 < took < 2.5


def test_batch_runs_lines_in_order_and_stops_at_the_first_failure(sim):
    result = ctl(sim, "--json", "batch", stdin="set 1 2\n\n# read it back\nstatus 1\nset 1 700\nset 1 3\n")
    assert failed_with(result, 2, "line 5:", "the 2 commands before it ran", printed=True)
    assert records(result) == [{"channel": 1, "command": "set", "attenuation": 2000, "ok": True},
                               {"channel": 1, "dev_work_mode": 0, "optical_length_index": 0,
                                "attenuation": 2000, "wavelength": 1310}]
    assert channel(sim, 1)["attenuation_steps"] == 200
    refused = ctl(sim, "batch", stdin="select 1 1625\nclear 1\n")
    assert failed_with(refused, 1, "line 1:", "1310, 1490, 1550 nm")
    assert channel(sim, 1)["attenuation_steps"] == 200
    # A runaway line is refused after reading a bounded part of it, and not echoed.
    huge = ctl(sim, "batch", stdin="status 1\n" + "x" * 1_000_000 + "\nset 1 3\n")
    assert failed_with(huge, 2, "line 2: longer than 8192 bytes", printed=True)
    assert len(huge.stderr) < 200 and channel(sim, 1)["attenuation_steps"] == 200


def unprivileged(sim, *args):
    """A run that TIOCEXCL applies to: root passes it, so root runs it as nobody."""
    if os.geteuid() != 0:
        return ctl(sim, *args)
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv is needed to drop root")
    os.chmod(sim.port, 0o666)
    return ctl(sim, *args, wrapper=("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"))


# SIGTERM is caught and the claim given back; SIGKILL and SIGUSR1 end it
# unawares, and the simulator takes back what it left, as a real port does.
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL, signal.SIGUSR1], ids=lambda s: s.name)
def test_a_port_in_use_is_refused_and_released_when_its_holder_ends(sim, sig):
    holder = subprocess.Popen([find_ctl(), "-p", sim.port, "--json", "batch"], text=True,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        holder.stdin.write("status 1\n")
        holder.stdin.flush()
        assert json.loads(holder.stdout.readline())["channel"] == 1  # it holds the port now
        assert failed_with(ctl(sim, "status"), 4, f"process {holder.pid} (kq2741ctl)")
        assert failed_with(unprivileged(sim, "status"), 4, "held by another program")
        holder.send_signal(sig)
        assert holder.wait(timeout=5) == -sig
    finally:
        holder.kill()
        holder.communicate(timeout=5)
    # TIOCEXCL outlives the holder on a pty unless it was taken off.
    assert after_release(lambda: unprivileged(sim, "status")).returncode == 0


def test_clients_closing_back_to_back_are_each_seen(sim):
    first = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
    time.sleep(0.05)  # the simulator has seen it open
    sim.signal(signal.SIGSTOP)
    try:
        os.close(os.open(sim.port, os.O_RDWR | os.O_NOCTTY))
        os.close(first)  # two closes waiting unread, which inotify merges into one
    finally:
        sim.signal(signal.SIGCONT)
    with subprocess.Popen([find_ctl(), "-p", sim.port, "--json", "batch"], text=True, stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE) as holder:
        holder.stdin.write("status 1\n")
        holder.stdin.flush()
        assert json.loads(holder.stdout.readline())["channel"] == 1
        holder.kill()
    # Had the simulator lost count, it would still see a client, and leave the claim.
    assert after_release(lambda: unprivileged(sim, "status")).returncode == 0


@pytest.mark.parametrize("opens", [
    "from kq2741 import KQ2741\nkq = KQ2741(PORT)\nassert kq.open()",
    "import serial\nline = serial.Serial(PORT)",
], ids=["driver", "pyserial"])
def test_a_port_opened_by_a_program_that_takes_no_lock_is_refused(sim, opens):
    script = f"import sys\nPORT = {sim.port!r}\n{opens}\nprint(flush=True)\nsys.stdin.read()"
    holder = subprocess.Popen([sys.executable, "-c", script], text=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == "\n"  # it has the port open now
        assert failed_with(ctl(sim, "set", 1, 3), 4, f"held by another program: process {holder.pid} (")
        assert sim.state()["requests"] == 0
    finally:
        holder.communicate(timeout=5)  # ends its input, closes the pipes
    assert unprivileged(sim, "set", 1, 3).returncode == 0  # the refused run gave back flock and TIOCEXCL


@pytest.mark.parametrize("args, stream, requests", [
    (["--json", "set", 1, 4], "stdout closed", 1),
    (["--verbose", "set", 1, 4], "stderr closed", 1),
    (["batch"], "stdin closed", 0),
    (["--json", "set", 1, 4], "stdout full", 1),
])
def test_standard_streams_never_reach_the_port_and_their_failures_count(args, stream, requests):
    streams = {"stdin": subprocess.DEVNULL, "stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    if stream.endswith("closed"):
        fd = ["stdin", "stdout", "stderr"].index(stream.split()[0])
        streams["preexec_fn"] = lambda: os.close(fd)
    with Simulator("--verbose") as sim, open("/dev/full", "w") as full:
        if stream == "stdout full":
            streams["stdout"] = full
        result = subprocess.run([find_ctl(), "-p", sim.port, *map(str, args)], text=True, timeout=10, **streams)
        assert result.returncode == 5
        assert sim.state()["requests"] == requests and "not a request" not in sim.log()
    if stream == "stdout full":
        assert failed_with(result, 5, "cannot write to stdout: No space left on device", printed=True)


def test_the_first_exchange_is_answered_at_once(sim):
    waits = []
    for _ in range(9):
        stamps = re.findall(r"\[\s*([\d.]+)\] (?:tx|rx) ", ctl(sim, "--verbose", "status").stderr)
        waits.append(float(stamps[1]) - float(stamps[0]))
    assert statistics.median(waits) < 0.002, waits


def test_sim_option_starts_and_stops_its_own_simulator():
    path = os.pathsep.join([str(Path(find_binary()).parent), os.environ.get("PATH", "")])
    result = run_ctl("--sim", "--verbose", "--json", "version", env={"PATH": path})
    assert (result.returncode, records(result)) == (0, [{"module_version": 2, "hard_version": 50,
                                                         "soft_version": 32}])
    pid = int(re.search(r"started \S+ \(pid (\d+)\)", result.stderr).group(1))
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


def ended(pid: int, within: float) -> bool:
    """The process is gone, or a zombie nobody has reaped yet."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.02)
    return False


def test_sim_option_leaves_no_simulator_behind_when_killed():
    path = os.pathsep.join([str(Path(find_binary()).parent), os.environ.get("PATH", "")])
    holder = subprocess.Popen([find_ctl(), "--sim", "--verbose", "batch"], text=True, stdin=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=dict(os.environ, PATH=path))
    try:
        pid = int(re.search(r"started \S+ \(pid (\d+)\)", holder.stderr.readline()).group(1))
        holder.kill()
        holder.wait(timeout=5)
        assert ended(pid, 5)
    finally:
        holder.kill()
        holder.communicate(timeout=5)


def test_help_lists_every_command_and_exit_status():
    result = run_ctl("--help")
    assert result.returncode == 0
    for word in ["version", "wavelengths", "status", "set CH ATTENUATION", "clear CH", "select CH NM",
                 "disconnect CH", "display-close", "sweep CH START STOP STEP [--dwell SECONDS]",
                 "batch", "raw HEX", "3  no complete answer", "4  the port cannot be opened",
                 "5  kq2741ctl itself", "at most 1024", "the lines before it ran"]:
        assert word in result.stdout
    assert re.fullmatch(r"kq2741ctl \d+\.\d+\.\d+\n", run_ctl("--version").stdout)
