"""kq2741ctl.Attenuator against the simulator and a scripted instrument:
values on the wire, refused values, faults of the line, threads, signals,
and sharing the port with kq2741ctl and the seeded driver."""
from __future__ import annotations

import logging
import math
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from decimal import Decimal
from fractions import Fraction

import pytest
import serial
from hypothesis import given, settings, strategies as st

from ctl import find_ctl
from kq2741ctl import Attenuator, BadAnswer, NoAnswer, PortBusy, Refused, Status, Version
from scripted import ScriptedInstrument
from simulator import Simulator, after_release
from wire import START, checksum_ok, frame, status_answer

pytestmark = pytest.mark.needs("kq2741-sim", "kq2741ctl")

SET = b"\x14\x3c"


@pytest.fixture(scope="module")
def sim():
    with Simulator("--channels", 4, "--channel-wavelengths", "2=1310,1550") as s:
        yield s


@pytest.fixture
def att(sim):
    with Attenuator(sim.port, timeout=0.5) as a:
        yield a


def channel_state(sim, n):
    return sim.state()["channels"][n - 1]


@pytest.mark.parametrize("value, steps", [
    (0.29, 29), (2.01, 201), (Decimal("655.35"), 65535), (Fraction(29, 100), 29), (3, 300), (0, 0),
    (Decimal("1.10"), 110), (12.5, 1250),
])
def test_attenuation_is_sent_as_exact_steps_and_read_back(sim, att, value, steps):
    ch = att.channel(3)
    ch.attenuation = value
    assert channel_state(sim, 3)["attenuation_steps"] == steps
    assert ch.attenuation == steps / 100
    assert ch.status() == Status(mode=0, wavelength_index=channel_state(sim, 3)["wavelength_index"],
                                 attenuation=steps / 100)


@pytest.mark.parametrize("value, error", [
    (0.295, ValueError), (-0.01, ValueError), (655.36, ValueError), (Decimal("655.351"), ValueError),
    (math.nan, ValueError), (math.inf, ValueError), (Decimal("NaN"), ValueError), (Decimal("-Infinity"), ValueError),
    (Fraction(1, 3), ValueError), (10**400, ValueError), (True, TypeError), ("3", TypeError), (None, TypeError),
])
def test_refused_attenuation_sends_nothing(sim, att, value, error):
    before = sim.state()["requests"]
    with pytest.raises(error):
        att.channel(1).attenuation = value
    assert sim.state()["requests"] == before


def test_instrument_wide_operations_and_wavelengths(sim, att):
    assert att.version == Version(module=2, hardware=50, software=32)
    ch = att.channel(2)
    assert ch.number == 2 and ch.wavelengths == (1310, 1550)
    ch.wavelength = 1550
    assert ch.wavelength == 1550 and channel_state(sim, 2)["wavelength_index"] == 1
    requests = sim.state()["requests"]
    with pytest.raises(ValueError, match="supports 1310, 1550 nm"):
        ch.wavelength = 1490
    assert sim.state()["requests"] == requests + 1  # the list, nothing selected
    ch.attenuation = 4
    ch.clear()
    ch.disconnect()
    att.close_display()
    assert (channel_state(sim, 2)["attenuation_steps"], channel_state(sim, 2)["connected"]) == (0, False)


@pytest.mark.parametrize("n, error", [(0, ValueError), (256, ValueError), (True, TypeError), (1.0, TypeError)])
def test_channel_numbers(att, n, error):
    with pytest.raises(error):
        att.channel(n)


def test_open_and_close(sim):
    att = Attenuator(sim.port)
    with pytest.raises(serial.PortNotOpenError):
        att.channel(1).status()
    with att as same:
        assert same is att and att.is_open
        with pytest.raises(serial.SerialException):
            att.open()
        with pytest.raises(PortBusy, match="already open in this program"):
            Attenuator(sim.port).open()
    assert not att.is_open
    att.close()  # again: harmless
    with pytest.raises(ValueError):
        Attenuator(sim.port, timeout=0)


@pytest.mark.parametrize("option, error, most", [
    ("--silent", NoAnswer, 0.5), ("--corrupt", BadAnswer, 0.15),
])
def test_faults_of_the_instrument(option, error, most):
    with Simulator(option) as sim, Attenuator(sim.port, timeout=0.2) as att:
        started = time.monotonic()
        with pytest.raises(error) as caught:
            att.channel(1).status()
        assert time.monotonic() - started < most
    if error is BadAnswer:
        assert caught.value.frame[0] == START and not checksum_ok(caught.value.frame)
    assert isinstance(caught.value, serial.SerialException)


def test_answers_later_than_the_timeout_are_never_taken():
    with Simulator("--delay-ms", 300) as sim, Attenuator(sim.port, timeout=0.2) as att:
        ch = att.channel(1)
        for value in (1, 2, 3):
            with pytest.raises(NoAnswer):
                ch.attenuation = value
        with pytest.raises(NoAnswer):
            ch.status()
    assert isinstance(NoAnswer("x"), TimeoutError)


VERSION = frame(1, b"\x00\x03", bytes([2, 50, 32]))


def test_an_answer_late_once_leaves_the_next_call_its_own():
    # After a request went unanswered, the next call first gets back in step
    # (a version query, which fits nothing in flight), then asks.
    with ScriptedInstrument([(0.3, status_answer(1, 5)), VERSION, status_answer(1, 7)]) as inst, \
            Attenuator(inst.port, timeout=0.2) as att:
        with pytest.raises(NoAnswer):
            att.channel(1).status()
        assert att.channel(1).attenuation == 0.07
        time.sleep(0.15)
    assert inst.requests == [bytes.fromhex("7B 01 05 14 36 35 7D"), bytes.fromhex("7B 01 05 00 03 7C 7D"),
                             bytes.fromhex("7B 01 05 14 36 35 7D")]


@pytest.mark.parametrize("reply, error, detail", [
    (frame(1, SET, b"\x01"), Refused, ("status", 1)),
    (frame(1, SET, b"\x00\x00"), BadAnswer, ("frame", frame(1, SET, b"\x00\x00"))),
])
def test_refusals_and_misshapen_answers(reply, error, detail):
    with ScriptedInstrument([reply]) as inst, Attenuator(inst.port, timeout=0.2) as att:
        with pytest.raises(error) as caught:
            att.channel(1).attenuation = 1.1
    assert getattr(caught.value, detail[0]) == detail[1]
    assert inst.requests == [bytes.fromhex("7B 01 07 14 3C 6E 00 BF 7D")]


def holds_a_frame(line: bytes, upto: int) -> bool:
    """Whether a whole, valid frame starts before `upto` in `line`."""
    for i in range(upto):
        if line[i] != START or i + 2 >= len(line) or line[i + 2] < 5:
            continue
        end = i + line[i + 2] + 1
        if end < len(line) and line[end] == 0x7D and checksum_ok(line[i:end + 1]):
            return True
    return False


@pytest.fixture(scope="module")
def scripted():
    with ScriptedInstrument() as inst, Attenuator(inst.port, timeout=0.3) as att:
        yield inst, att


noise = st.lists(st.one_of(st.sampled_from([0x7B, 0x7D, 0x01, 0x05, 0x0A, 0xFF]), st.integers(0, 255)),
                 max_size=24).map(bytes)


@settings(deadline=None)
@given(noise=noise, steps=st.integers(0, 0xFFFF))
def test_noise_before_an_answer_never_hides_it(scripted, noise, steps):
    inst, att = scripted
    answer = status_answer(1, steps)
    if holds_a_frame(noise + answer, len(noise)):
        return
    inst.more(noise + answer)
    assert att.channel(1).status().attenuation == steps / 100


def test_frames_are_logged_at_debug(att, caplog):
    with caplog.at_level(logging.DEBUG, logger="kq2741ctl"):
        att.channel(1).status()
    assert [r.getMessage().split(" | ")[0][:2] for r in caplog.records] == ["tx", "rx"]
    assert caplog.records[0].getMessage() == "tx 7B 01 05 14 36 35 7D | status on channel 1"


def test_threads_share_one_attenuator(sim, att):
    errors = []

    def work(n):
        ch = att.channel(n)
        for i in range(150):
            try:
                ch.attenuation = (n * 1000 + i) / 100
                assert ch.attenuation == (n * 1000 + i) / 100
            except Exception as e:  # every failure counts, whatever it is
                errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in (1, 2, 3, 4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert errors == []


def test_a_slow_answer_lets_other_threads_run_and_two_instruments_overlap():
    with Simulator("--delay-ms", 100) as one, Simulator("--delay-ms", 100) as two, \
            Attenuator(one.port) as a, Attenuator(two.port) as b:
        ticks = 0
        done = threading.Event()

        def count():
            nonlocal ticks
            while not done.is_set():
                ticks += 1

        counter = threading.Thread(target=count)
        counter.start()
        started = time.monotonic()
        other = threading.Thread(target=lambda: [b.channel(1).status() for _ in range(3)])
        other.start()
        for _ in range(3):
            a.channel(1).status()
        other.join()
        took = time.monotonic() - started
        done.set()
        counter.join()
    assert took < 0.5  # 0.6 s one after the other
    assert ticks > 1000


def test_ctrl_c_ends_a_wait_and_the_late_answer_is_not_taken():
    ok, refused = frame(1, SET, b"\x00"), frame(1, SET, b"\x01")
    with ScriptedInstrument([(0.5, ok), (0.6, VERSION), (0.6, refused)]) as inst, \
            Attenuator(inst.port, timeout=3) as att:
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            att.channel(1).attenuation = 5
        assert time.monotonic() - started < 0.45
        with pytest.raises(Refused):  # its own answer, not the late one
            att.channel(1).attenuation = 6
    assert len(inst.requests) == 3  # the set, the version query that got back in step, the set


def test_kq2741ctl_and_attenuator_refuse_each_other(sim):
    with Attenuator(sim.port) as att:
        att.channel(1).status()
        result = subprocess.run([find_ctl(), "-p", sim.port, "status"], capture_output=True, text=True, timeout=10)
        assert result.returncode == 4 and f"process {os.getpid()}" in result.stderr
    ctl = subprocess.Popen([find_ctl(), "-p", sim.port, "batch"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           text=True)
    try:
        ctl.stdin.write("status 1\n")
        ctl.stdin.flush()
        ctl.stdout.readline()
        with pytest.raises(PortBusy, match=f"process {ctl.pid} "):
            Attenuator(sim.port).open()
    finally:
        ctl.communicate(timeout=10)  # ends its input, closes the pipes


def refused_by_tiocexcl(port: str, code: str) -> subprocess.CompletedProcess:
    """Python code run with the port as sys.argv[1] by a process TIOCEXCL applies to: root without
    CAP_SYS_ADMIN, which passes it (another user might not be able to load this Python at all)."""
    wrapper = ("setpriv", "--bounding-set=-sys_admin", "--inh-caps=-sys_admin") if os.geteuid() == 0 else ()
    return subprocess.run([*wrapper, sys.executable, "-c", code, port], capture_output=True, text=True, timeout=10)


OPEN_AND_READ = "import sys\nfrom kq2741ctl import Attenuator\nwith Attenuator(sys.argv[1]) as a: a.channel(1).status()"


def test_a_killed_attenuator_leaves_the_port_to_the_next(sim):
    holder = subprocess.Popen([sys.executable, "-c", OPEN_AND_READ + "; print(flush=True); sys.stdin.read()",
                               sim.port], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        holder.stdout.readline()
        refused = refused_by_tiocexcl(sim.port, OPEN_AND_READ)  # the kernel says EBUSY
        assert f"PortBusy: {sim.port} is held by another program: process {holder.pid} (" in refused.stderr
        assert "[Errno 16]" in refused.stderr  # from the open, not from the lock
    finally:
        holder.kill()
        holder.communicate(timeout=10)
    assert after_release(lambda: refused_by_tiocexcl(sim.port, OPEN_AND_READ)).returncode == 0


def test_a_port_the_seeded_driver_holds_is_busy(sim):
    # The seeded driver takes no lock: only /proc shows it has the port.
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys, kq2741; k = kq2741.KQ2741(sys.argv[1]); print(k.open(), flush=True); "
         "sys.stdin.read()", sim.port], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "True\n"
        with pytest.raises(PortBusy, match=f"process {holder.pid} "):
            Attenuator(sim.port).open()
    finally:
        holder.communicate(timeout=10)
    with Attenuator(sim.port) as att:
        att.channel(1).status()


def test_socket_url_through_a_tcp_bridge(sim):
    server = socket.create_server(("127.0.0.1", 0))
    port = server.getsockname()[1]
    line = serial.Serial(sim.port, timeout=0)

    def bridge():
        conn, _ = server.accept()
        conn.settimeout(0.001)
        with conn:
            while True:
                try:
                    data = conn.recv(512)
                    if not data:
                        return
                    line.write(data)
                except socket.timeout:
                    pass
                waiting = line.read(512)
                if waiting:
                    conn.sendall(waiting)

    t = threading.Thread(target=bridge, daemon=True)
    t.start()
    try:
        with Attenuator(f"socket://127.0.0.1:{port}") as att:
            att.channel(1).attenuation = 2.5
            assert att.channel(1).attenuation == 2.5
    finally:
        t.join(5)
        line.close()
        server.close()


def test_python_m_runs_the_program():
    result = subprocess.run([sys.executable, "-m", "kq2741ctl", "--version"], capture_output=True, text=True,
                            timeout=10)
    assert result.returncode == 0 and result.stdout.startswith("kq2741ctl ")
