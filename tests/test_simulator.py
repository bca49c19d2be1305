"""kq2741-sim seen from a client on its pseudo-terminal."""

from __future__ import annotations

import json
import os
import re
import select
import shutil
import signal
import subprocess
import termios
import time

import pytest

serial = pytest.importorskip("serial")

from simulator import Simulator, SimulatorError, find_binary  # noqa: E402
from wire import frame  # noqa: E402

BINARY = find_binary()
pytestmark = pytest.mark.needs("kq2741-sim")

VERSION, LIST, STATUS, CLOSE = b"\x00\x03", b"\x07\x2e", b"\x14\x36", b"\x00\x05"
SELECT, SET, CLEAR = b"\x14\x3a", b"\x14\x3c", b"\x14\x34"

# Requests exactly as the instrument's users put them on the line.
REQ_VERSION = bytes.fromhex("7B 01 05 00 03 7C 7D")
REQ_LIST = bytes.fromhex("7B 01 05 07 2E 4A 7D")
REQ_STATUS = bytes.fromhex("7B 01 05 14 36 35 7D")
REQ_CLOSE = bytes.fromhex("7B 01 05 00 05 7A 7D")
REQ_SELECT_1 = bytes.fromhex("7B 01 06 14 3A 01 2F 7D")
REQ_SET_110 = bytes.fromhex("7B 01 07 14 3C 6E 00 BF 7D")
REQ_CLEAR = bytes.fromhex("7B 01 07 14 34 00 00 35 7D")
REQ_DISCONNECT = bytes.fromhex("7B 01 07 14 34 FF FF 37 7D")


def le16(*values: int) -> bytes:
    return b"".join(v.to_bytes(2, "little") for v in values)


def ack(ch: int, code: bytes, status: int = 0) -> bytes:
    return frame(ch, code, bytes([status]))


ANSWER_VERSION = frame(1, VERSION, bytes([2, 50, 32]))


@pytest.fixture
def start():
    started = []

    def _start(*args) -> Simulator:
        sim = Simulator(*args).start()
        started.append(sim)
        return sim

    yield _start
    for sim in started:
        sim.close()


def open_port(sim: Simulator) -> serial.Serial:
    return serial.Serial(sim.port, 9600, timeout=0)


def collect(port: serial.Serial, n: int | None = None, within: float = 1.0) -> bytes:
    """What arrives within `within` seconds, returning early once n bytes are in."""
    deadline = time.monotonic() + within
    data = b""
    while n is None or len(data) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        port.timeout = min(left, 0.02)
        data += port.read(1 if n is None else n - len(data))
    return data


def exchange(port: serial.Serial, request: bytes, n: int) -> bytes:
    """Send one request, take its n-byte answer, and make sure nothing trails it."""
    port.write(request)
    answer = collect(port, n)
    return answer + collect(port, within=0.05)


def channels(sim: Simulator) -> list[dict]:
    return [{k: c[k] for k in ("ch", "wavelength_index", "attenuation_steps", "connected")}
            for c in sim.state()["channels"]]


def default_channel(ch: int) -> dict:
    return {"ch": ch, "wavelength_index": 0, "attenuation_steps": 0, "connected": True}


@pytest.mark.parametrize(
    "args, request_, answer",
    [
        ((), REQ_VERSION, ANSWER_VERSION),
        (("--device-version", "7.0.255"), frame(3, VERSION), frame(3, VERSION, bytes([7, 0, 255]))),
        ((), REQ_LIST, frame(1, LIST, b"\x03" + le16(1310, 1490, 1550))),
        (("--channel-wavelengths", "2=1550,1625"), frame(2, LIST), frame(2, LIST, b"\x02" + le16(1550, 1625))),
        (("--channel-wavelengths", "2=1550,1625"), REQ_LIST, frame(1, LIST, b"\x03" + le16(1310, 1490, 1550))),
        (("--channels", "8", "--wavelengths", "850"), frame(8, LIST), frame(8, LIST, b"\x01" + le16(850))),
        ((), REQ_STATUS, frame(1, STATUS, bytes(5))),
        ((), REQ_CLOSE, ack(1, CLOSE)),
        ((), REQ_SELECT_1, ack(1, SELECT)),
        ((), REQ_SET_110, ack(1, SET)),
        ((), REQ_CLEAR, ack(1, CLEAR)),
        ((), REQ_DISCONNECT, ack(1, CLEAR)),
    ],
    ids=["version", "version-custom", "list", "list-own-channel", "list-other-channel",
         "list-all-channels", "status", "full-screen-close", "select", "set", "clear", "disconnect"],
)
def test_each_request_gets_its_answer(start, args, request_, answer):
    sim = start(*args)
    with open_port(sim) as port:
        assert exchange(port, request_, len(answer)).hex(" ") == answer.hex(" ")


@pytest.mark.parametrize(
    "requests, expected",
    [
        ([frame(2, SELECT, b"\x02")], {"wavelength_index": 2}),
        ([frame(2, SET, le16(110))], {"attenuation_steps": 110}),
        ([frame(2, SET, le16(0xFFFF))], {"attenuation_steps": 0xFFFF}),
        ([frame(2, SET, le16(250)), frame(2, CLEAR, le16(0xFFFF))],
         {"attenuation_steps": 250, "connected": False}),
        ([frame(2, SET, le16(250)), frame(2, CLEAR, le16(0xFFFF)), frame(2, CLEAR, le16(0))],
         {"attenuation_steps": 0, "connected": True}),
        ([frame(2, CLEAR, le16(0xFFFF)), frame(2, SET, le16(5))], {"attenuation_steps": 5}),
        ([frame(2, SELECT, b"\x01"), frame(2, SET, le16(300)), frame(2, CLOSE)],
         {"wavelength_index": 1, "attenuation_steps": 300}),
    ],
    ids=["select", "set", "set-max", "disconnect-keeps-steps", "clear-reconnects",
         "set-reconnects", "close-changes-nothing"],
)
def test_commands_change_only_their_channel(start, requests, expected):
    sim = start()
    with open_port(sim) as port:
        for req in requests:
            assert exchange(port, req, 8) == ack(2, req[3:5])
        status = exchange(port, frame(2, STATUS), 12)
    want = [default_channel(ch) for ch in range(1, 5)]
    want[1].update(expected)
    assert channels(sim) == want
    assert status[7] == want[1]["wavelength_index"]
    assert status[8] | status[9] << 8 == want[1]["attenuation_steps"]


@pytest.mark.parametrize(
    "request_, answer",
    [
        (frame(1, SELECT, b"\x03"), ack(1, SELECT, 1)),
        (frame(2, SELECT, b"\x02"), ack(2, SELECT, 1)),
        (frame(1, CLEAR, le16(5)), ack(1, CLEAR, 1)),
        (frame(1, SET, b"\x05"), ack(1, SET, 1)),
        (frame(1, VERSION, b"\x00"), ack(1, VERSION, 1)),
        (frame(1, b"\x12\x34"), ack(1, b"\x12\x34", 2)),
    ],
    ids=["index-out-of-range", "index-beyond-own-list", "clear-odd-value", "short-payload",
         "version-with-payload", "unknown-command"],
)
def test_rejected_requests_answer_error_status_and_change_nothing(start, request_, answer):
    sim = start("--channel-wavelengths", "2=1550,1625")
    before = channels(sim)
    with open_port(sim) as port:
        assert exchange(port, request_, len(answer)) == answer
    assert channels(sim) == before
    assert sim.state()["requests"] == 1


@pytest.mark.parametrize(
    "request_, counter",
    [
        (REQ_VERSION[:-2] + bytes([REQ_VERSION[-2] ^ 0x10, 0x7D]), "checksum_errors"),
        (frame(0, VERSION), "requests"),
        (frame(5, VERSION), "requests"),
    ],
    ids=["bad-checksum", "channel-0", "channel-above-count"],
)
def test_requests_left_unanswered(start, request_, counter):
    sim = start()
    with open_port(sim) as port:
        port.write(request_)
        assert collect(port, within=0.3) == b""
        assert sim.state()[counter] == 1
        # The next good request is still understood.
        assert exchange(port, REQ_VERSION, 10) == ANSWER_VERSION


@pytest.mark.parametrize(
    "junk",
    [b"\x00\xff\x7d", b"hello\r\n", b"\x7b", b"\x7b\x01", b"\x7b\x01\x05", b"\x7b\x01\x07\x14",
     b"\x7b\x7b\x00\xff\x7d"],
)
@pytest.mark.parametrize("together", [True, False], ids=["one-write", "two-writes"])
def test_junk_before_a_request_is_skipped(start, junk, together):
    sim = start()
    with open_port(sim) as port:
        if together:
            port.write(junk + REQ_VERSION)
        else:
            port.write(junk)
            time.sleep(0.05)
            port.write(REQ_VERSION)
        assert collect(port, 10) + collect(port, within=0.05) == ANSWER_VERSION
    assert sim.state()["checksum_errors"] == 0


def test_request_in_pieces_and_back_to_back(start):
    sim = start()
    with open_port(sim) as port:
        port.write(REQ_SET_110[:4])
        time.sleep(0.05)
        port.write(REQ_SET_110[4:] + REQ_STATUS)
        want = ack(1, SET) + frame(1, STATUS, bytes([0, 0, 0, 110, 0]))
        assert collect(port, len(want)) == want


def test_delay_answers_late(start):
    sim = start("--delay-ms", "400")
    with open_port(sim) as port:
        sent = time.monotonic()
        port.write(REQ_VERSION)
        assert collect(port, within=0.25) == b""
        assert collect(port, 10) == ANSWER_VERSION
        assert time.monotonic() - sent >= 0.4


def test_split_sends_answer_in_two_parts(start):
    sim = start("--split")
    with open_port(sim) as port:
        port.write(REQ_STATUS)
        arrivals = []
        received = b""
        deadline = time.monotonic() + 1
        while len(received) < 12 and time.monotonic() < deadline:
            port.timeout = 0.005
            chunk = port.read(12 - len(received))
            if chunk:
                arrivals.append(time.monotonic())
                received += chunk
    assert received == frame(1, STATUS, bytes(5))
    assert arrivals[-1] - arrivals[0] >= 0.03


def test_silent_applies_but_never_answers(start):
    sim = start("--silent")
    with open_port(sim) as port:
        port.write(REQ_SET_110 + REQ_VERSION)
        assert collect(port, within=0.3) == b""
    state = sim.state()
    assert state["requests"] == 2
    assert state["channels"][0]["attenuation_steps"] == 110


def test_corrupt_inverts_answer_checksum(start):
    sim = start("--corrupt")
    with open_port(sim) as port:
        answer = exchange(port, REQ_VERSION, 10)
    assert answer[:-2] == ANSWER_VERSION[:-2] and answer[-1] == 0x7D
    assert answer[-2] == ANSWER_VERSION[-2] ^ 0xFF
    assert sum(answer[:-1]) & 0xFF != 0


def outcomes(sim: Simulator, count: int) -> str:
    """A status request to each of channels 1..count in turn: '.' a good
    answer, 'c' one whose checksum fails, '-' none. Each answer names its
    channel, so a late one is told from a dropped one whatever the load."""
    answers: dict[int, bytes] = {}
    with open_port(sim) as port:
        for ch in range(1, count + 1):
            port.write(frame(ch, STATUS))
        data = b""
        for _ in range(16):  # until every answer is in or the line stays quiet for 0.3 s
            more = collect(port, 12 * count - len(data), 0.3)
            data += more
            if not more or len(data) >= 12 * count:
                break
    assert len(data) % 12 == 0 and len(data) <= 12 * count, data.hex(" ")
    for at in range(0, len(data), 12):
        answer = data[at:at + 12]
        assert answer[:-2] == frame(answer[1], STATUS, bytes(5))[:-2] and answer[1] not in answers
        answers[answer[1]] = answer
    return "".join("-" if ch not in answers else "." if sum(answers[ch][:-1]) & 0xFF == 0 else "c"
                   for ch in range(1, count + 1))


@pytest.mark.parametrize("args, expected", [
    (("--drop-rate", "1"), "-" * 6),
    (("--corrupt-rate", "1"), "c" * 6),
    (("--drop-rate", "1", "--corrupt-rate", "1"), "-" * 6),  # a dropped answer is not also garbled
    (("--drop-rate", "0", "--corrupt-rate", "0"), "." * 6),
    (("--drop-rate", "0", "--corrupt"), "c" * 6),
])
def test_fault_rates_at_their_limits(start, args, expected):
    sim = start("--channels", 6, *args)
    assert outcomes(sim, 6) == expected
    # Dropped or garbled, every request was taken and applied.
    assert sim.state()["requests"] == 6


@pytest.mark.parametrize("rates", [("--drop-rate", "0.3", "--corrupt-rate", "0.3"), ("--drop-rate", "0.5")])
def test_fault_rates_follow_the_seed(start, rates):
    first, again, other = (outcomes(start("--channels", 30, *rates, "--seed", seed), 30) for seed in ("7", "7", "8"))
    assert first == again
    assert first != other
    dropped = first.count("-") / len(first)
    assert 0.1 <= dropped <= 0.8  # 30 draws at 0.3 or 0.5: far from none and from all
    assert ("c" in first) == ("--corrupt-rate" in rates)


def test_verbose_logs_both_directions(start):
    sim = start("--verbose")
    with open_port(sim) as port:
        exchange(port, REQ_SET_110, 8)
    log = sim.log()
    assert "rx 7B 01 07 14 3C 6E 00 BF 7D | ch1 set attenuation 110 steps (1.10 dB): ok" in log
    assert "tx " + ack(1, SET).hex(" ").upper() in log


def test_many_clients_one_after_another(start):
    sim = start()
    for i in range(20):
        with open_port(sim) as port:
            assert exchange(port, frame(1, SET, le16(i)), 8) == ack(1, SET), f"cycle {i}"
    assert sim.state()["channels"][0]["attenuation_steps"] == 19
    assert sim.returncode is None


@pytest.mark.parametrize("delay", [None, "300"], ids=["answered-unread", "answered-after-close"])
def test_next_client_gets_no_leftover_answer(start, delay):
    sim = start(*(("--delay-ms", delay) if delay else ()))
    with open_port(sim) as port:
        port.write(REQ_VERSION)
        time.sleep(0.05)
    time.sleep(0.4)
    # A bare open, not pyserial, which would flush input itself.
    fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        assert select.select([fd], [], [], 0.2)[0] == []
    finally:
        os.close(fd)


def test_cooked_port_is_put_back_to_raw(start):
    # 0D 0A in the answer would be rewritten, or held back for a line end, by a cooked tty.
    sim = start("--device-version", "13.10.3")
    fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
    attrs = termios.tcgetattr(fd)
    attrs[0] |= termios.ICRNL | termios.IXON
    attrs[1] |= termios.OPOST | termios.ONLCR
    attrs[3] |= termios.ICANON | termios.ECHO
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    os.close(fd)
    time.sleep(0.05)
    fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        os.write(fd, REQ_VERSION)
        answer = b""
        deadline = time.monotonic() + 1
        while len(answer) < 10 and select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            answer += os.read(fd, 64)
        assert answer == frame(1, VERSION, bytes([13, 10, 3]))
    finally:
        os.close(fd)


@pytest.mark.needs("lsof")
def test_port_not_held_between_clients(start):
    sim = start()

    def lsof() -> str:
        return subprocess.run(["lsof", sim.port], capture_output=True, text=True, timeout=10).stdout

    assert lsof() == ""
    with open_port(sim) as port:
        exchange(port, REQ_VERSION, 10)
        holders = {int(line.split()[1]) for line in lsof().splitlines()[1:]}
        assert holders == {os.getpid()}
    time.sleep(0.05)
    assert lsof() == ""


def test_idle_port_does_not_spin(start):
    sim = start()
    with open_port(sim):
        pass

    def cpu_ticks() -> int:
        with open(f"/proc/{sim.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    before = cpu_ticks()
    time.sleep(1.0)
    ticks_per_s = os.sysconf("SC_CLK_TCK")
    assert cpu_ticks() - before < 0.1 * ticks_per_s
    with open_port(sim) as port:
        assert exchange(port, REQ_VERSION, 10) == ANSWER_VERSION


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_stop_signal_exits_cleanly_and_removes_link(start, tmp_path, sig):
    link = tmp_path / "kq2741"
    sim = start("--link", link)
    assert os.path.realpath(link) == os.path.realpath(sim.port)
    with open_port(sim) as port:
        exchange(port, REQ_VERSION, 10)
    sim.signal(sig)
    assert sim.proc.wait(timeout=5) == 0
    assert not os.path.lexists(link)


def test_link_never_replaces_a_regular_file(tmp_path):
    target = tmp_path / "port"
    target.write_text("keep me")
    with pytest.raises(SimulatorError, match="not a symlink"):
        Simulator("--link", target).start()
    assert target.read_text() == "keep me"


@pytest.mark.parametrize(
    "args",
    [
        ["--channels", "0"],
        ["--channels", "256"],
        ["--wavelengths", "1310,abc"],
        ["--wavelengths", ""],
        ["--channel-wavelengths", "5=1550"],
        ["--channel-wavelengths", "1550"],
        ["--device-version", "1.2"],
        ["--device-version", "1.2.300"],
        ["--delay-ms", "-1"],
        ["--drop-rate", "1.5"],
        ["--drop-rate", "nan"],
        ["--corrupt-rate", "-0.1"],
        ["--corrupt-rate", "+0.5"],
        ["--seed", "-1"],
        ["--seed", "18446744073709551616"],
        ["--seed", "x"],
        ["--split=yes"],
        ["--bogus"],
        ["--detach"],
        ["--detach", "--link", "/tmp/kq2741-never", "--stop-with-stdin"],
        ["--stop"],
        ["--stop="],
        ["--stop", "/tmp/kq2741-never", "--channels", "2"],
        ["--link", "/tmp/kq2741-never", "--stop", "/tmp/kq2741-never"],
    ],
)
def test_bad_options_are_refused(args):
    result = subprocess.run([BINARY, *args], capture_output=True, text=True, timeout=5)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("kq2741-sim: ")


def test_version_is_the_programs_own():
    result = subprocess.run([BINARY, "--version"], capture_output=True, text=True, timeout=5)
    assert (result.returncode, result.stderr) == (0, "")
    assert re.fullmatch(r"kq2741-sim \d+\.\d+\.\d+\n", result.stdout)


# --- the link: --detach, --stop, and one owner at a time ---


def run_sim(*args, wrapper: tuple[str, ...] = (), cwd=None) -> subprocess.CompletedProcess:
    """kq2741-sim with its output captured: a detached simulator holding the
    pipes would keep this waiting until the time-out."""
    return subprocess.run([*wrapper, BINARY, *map(str, args)], capture_output=True, text=True, timeout=15, cwd=cwd)


def simulators_on(link) -> list[int]:
    """Process ids of the live simulators started with this --link."""
    pids = []
    for entry in os.listdir("/proc"):
        try:
            words = open(f"/proc/{entry}/cmdline", "rb").read().split(b"\0")
        except (OSError, ValueError):
            continue
        if b"--link" in words and str(link).encode() in words:
            pids.append(int(entry))
    return pids


@pytest.fixture
def detach():
    """Starts detached simulators; stops any a test leaves behind."""
    links = []

    def _detach(link, *args) -> subprocess.CompletedProcess:
        links.append(link)
        return run_sim("--link", link, "--detach", *args)

    yield _detach
    for link in links:
        run_sim("--stop", link)
        for pid in simulators_on(link):
            os.kill(pid, signal.SIGKILL)


def answers(port) -> bool:
    with serial.Serial(str(port), 9600, timeout=0) as p:
        return exchange(p, REQ_VERSION, 10) == ANSWER_VERSION


def one_line(result, status: int, phrase: str) -> bool:
    return (result.returncode, result.stdout) == (status, "") and result.stderr.count("\n") == 1 \
        and result.stderr.startswith("kq2741-sim: ") and phrase in result.stderr


def test_detach_returns_with_the_port_ready_and_stop_ends_it(detach, tmp_path):
    link, state = tmp_path / "kq2741", tmp_path / "state.json"
    started = detach(link, "--state-file", state)
    assert (started.returncode, started.stderr) == (0, "")
    port = started.stdout.strip()
    assert started.stdout == port + "\n" and os.path.realpath(link) == os.path.realpath(port)
    # The very next command finds it answering, through the link, from a new session.
    assert answers(link)
    [pid] = simulators_on(link)
    assert os.getsid(pid) == pid != os.getsid(0)
    stopped = run_sim("--stop", link)
    assert (stopped.returncode, stopped.stdout, stopped.stderr) == (0, "", "")
    # --stop returns once it has ended: the link is already gone.
    assert not os.path.lexists(link) and simulators_on(link) == []
    assert json.loads(state.read_text())["requests"] == 1


def test_stop_ends_a_simulator_started_in_the_foreground(start, tmp_path):
    link = tmp_path / "kq2741"
    sim = start("--link", link)
    assert run_sim("--stop", link).returncode == 0
    assert sim.proc.wait(timeout=1) == 0 and not os.path.lexists(link)


# The same link named another way is the same link.
@pytest.mark.parametrize("spelling", ["same", "relative", "through-a-symlinked-folder"])
@pytest.mark.parametrize("owner", ["foreground", "detached"])
def test_a_link_a_live_simulator_owns_is_refused_not_taken_over(start, detach, tmp_path, spelling, owner):
    folder = tmp_path / "real"
    folder.mkdir()
    (tmp_path / "alias").symlink_to(folder)
    link = folder / "kq2741"
    if owner == "foreground":
        port = start("--link", link).port
    else:
        port = detach(link).stdout.strip()
    other = {"same": str(link), "relative": "real/kq2741", "through-a-symlinked-folder": str(tmp_path / "alias/kq2741")}
    for mode in ([], ["--detach"]):
        refused = run_sim("--link", other[spelling], *mode, cwd=tmp_path)
        assert one_line(refused, 4, "another running simulator owns it"), refused
        assert f"kq2741-sim --stop {other[spelling]}" in refused.stderr
    assert os.readlink(link) == port and answers(link)
    assert run_sim("--stop", other[spelling], cwd=tmp_path).returncode == 0
    assert not os.path.lexists(link)


def test_a_link_too_long_to_name_the_socket_after_is_owned_just_the_same(detach, tmp_path):
    folder = tmp_path / ("d" * 120)
    folder.mkdir()
    link = folder / "kq2741"
    assert detach(link).returncode == 0
    assert one_line(run_sim("--link", link), 4, "another running simulator owns it")
    assert run_sim("--stop", link).returncode == 0 and not os.path.lexists(link)


@pytest.mark.parametrize("reaped", [True, False], ids=["after-its-end", "while-it-ends"])
@pytest.mark.parametrize("mode", [[], ["--detach"]], ids=["foreground", "detached"])
def test_the_dangling_link_of_a_killed_simulator_is_taken(start, detach, tmp_path, mode, reaped):
    link = tmp_path / "kq2741"
    dead = start("--link", link)
    if reaped:
        dead.kill()
        assert os.path.islink(link) and not os.path.exists(link)
    else:  # a restart at once, as after a power cycle: the old one may still be ending
        dead.proc.kill()
    if mode:
        assert detach(link).returncode == 0
    else:
        start("--link", link)
    assert answers(link)


@pytest.mark.parametrize("leftover", ["nothing", "dangling-link", "regular-file", "missing-folder"])
def test_stop_without_a_simulator_is_one_line_and_status_3(start, tmp_path, leftover):
    link = tmp_path / ("gone/kq2741" if leftover == "missing-folder" else "kq2741")
    if leftover == "dangling-link":
        start("--link", link).kill()
    elif leftover == "regular-file":
        link.write_text("keep me")
    result = run_sim("--stop", link)
    assert one_line(result, 3, f"no running simulator owns {link}"), result
    assert leftover != "regular-file" or link.read_text() == "keep me"


def test_a_simulator_that_cannot_start_detached_reports_why_and_leaves_nothing_running(tmp_path):
    taken = tmp_path / "port"
    taken.write_text("keep me")
    result = run_sim("--link", taken, "--detach")
    assert one_line(result, 1, "not a symlink"), result
    assert simulators_on(taken) == [] and taken.read_text() == "keep me"


def test_another_users_stop_is_refused(detach, tmp_path):
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv, to run --stop as another user")
    link = tmp_path / "kq2741"
    assert detach(link).returncode == 0
    os.chmod(tmp_path, 0o755)
    nobody = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
    result = run_sim("--stop", link, wrapper=nobody)
    assert one_line(result, 1, "is another user's"), result
    assert answers(link)
