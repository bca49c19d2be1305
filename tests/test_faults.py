"""Faults in the middle of an exchange: an interrupt during the wait, a
serial layer that raises, an instrument that dies, two threads at once.
The driver must pass each fault on as it came and stay usable afterwards."""
from __future__ import annotations

import sys
import threading
import time
import types

import pytest
import serial

import kq2741
from conftest import TEMPLATE_NAMES, FakeSerial, request
from kq2741 import KQ2741
from simulator import Simulator
from wire import checksum_ok

ACK = b"\x7b\x7d"
VERSION = request(0x7B, 1, 8, 0x00, 0x03, 2, 50, 32)
WAVELENGTHS = request(0x7B, 1, 10, 0x07, 0x2E, 3, 0x1E, 0x05, 0xD2, 0x05, 0x0E, 0x06)
STATUS = request(0x7B, 1, 10, 0x14, 0x36, 0, 0, 1, 0x6E, 0x00)

# operation, the answers it consumes, its result with those answers
OPERATIONS = [
    ("read_device_version", (), [VERSION], {"module_version": 2, "hard_version": 50, "soft_version": 32}),
    ("read_optical_length", (2,), [WAVELENGTHS], [1310, 1490, 1550]),
    ("set_optical_length", (1490, 2), [WAVELENGTHS, ACK], True),
    ("read_current_status", (3,), [STATUS], {"dev_work_mode": 0, "optical_length_index": 1, "attenuation": 1100}),
    ("close_full_screen", (), [ACK], True),
    ("set_attenuation", (1100, 4), [ACK], True),
    ("clear_attenuation", (2,), [ACK], True),
    ("dis_connection", (3,), [ACK], True),
]
IDS = [op for op, *_ in OPERATIONS]

needs_simulator = pytest.mark.needs("kq2741-sim")


def checksums_valid() -> bool:
    return all(checksum_ok(getattr(KQ2741, n)) for n in TEMPLATE_NAMES)


class InterruptedClock:
    """The first wait is cut short by Ctrl-C; later ones pass."""

    def __init__(self):
        self.waits = 0

    def sleep(self, seconds):
        self.waits += 1
        if self.waits == 1:
            raise KeyboardInterrupt


# ---- an interrupt during the wait -----------------------------------------------


@pytest.mark.parametrize("op, args, answers, result", OPERATIONS, ids=IDS)
def test_interrupt_in_the_wait_propagates_and_the_next_call_is_clean(op, args, answers, result, monkeypatch):
    monkeypatch.setattr(kq2741, "time", InterruptedClock())
    kq = KQ2741("/dev/ttyFAULT")
    # the interrupted request's answer arrives anyway and is left unread
    kq.ser = FakeSerial([answers[0], *answers])
    with pytest.raises(KeyboardInterrupt):
        getattr(kq, op)(*args)
    assert len(kq.ser.writes) == 1 and kq.ser.buffer == bytearray(answers[0])
    assert checksums_valid()
    # the late answer is dropped before the next request, not taken for its answer
    assert getattr(kq, op)(*args) == result
    assert kq.ser.buffer == bytearray()


@needs_simulator
def test_interrupt_in_the_wait_on_a_real_port(monkeypatch):
    with Simulator() as sim:
        kq = KQ2741(sim.port)
        assert kq.open() is True
        try:
            monkeypatch.setattr(kq2741, "time", InterruptedClock())
            with pytest.raises(KeyboardInterrupt):
                kq.read_device_version()
            time.sleep(0.2)  # the instrument's answer to the interrupted request lands
            monkeypatch.setattr(kq2741, "time", time)
            assert kq.read_current_status(1) == {"dev_work_mode": 0, "optical_length_index": 0, "attenuation": 0}
        finally:
            kq.close()


# ---- a serial layer that raises ---------------------------------------------------


class Custom(BaseException):
    """Neither an Exception nor an interrupt the driver knows about."""


ERRORS = [
    lambda: OSError(5, "Input/output error"),
    lambda: serial.SerialException("device disconnected"),
    lambda: serial.SerialTimeoutException("Write timeout"),
    lambda: KeyboardInterrupt(),
    lambda: Custom(),
]


@pytest.mark.parametrize("error_factory", ERRORS, ids=["OSError", "SerialException", "Timeout", "Interrupt", "Custom"])
@pytest.mark.parametrize("failing", ["write", "inWaiting", "read"])
@pytest.mark.parametrize("op, args, answers, result", OPERATIONS, ids=IDS)
def test_serial_layer_errors_arrive_unchanged(op, args, answers, result, failing, error_factory, fake_time):
    error = error_factory()
    kq = KQ2741("/dev/ttyFAULT")
    kq.ser = line = FakeSerial(stale=b"stale")  # so the drain reads too

    def broken(*_):
        raise error

    setattr(kq.ser, failing, broken)
    with pytest.raises(BaseException) as info:
        getattr(kq, op)(*args)
    assert info.value is error
    if failing == "write":
        assert kq.ser.writes == []
    # the drain read the stale input unless the failing step was its own
    assert line.take_unread() == (b"" if failing == "write" else b"stale", [])
    assert checksums_valid()

    # the same object on a healthy line works as before
    kq.ser = FakeSerial(answers)
    assert getattr(kq, op)(*args) == result


# ---- an instrument that goes away -------------------------------------------------


@needs_simulator
@pytest.mark.parametrize("op, args", [("read_device_version", ()), ("set_optical_length", (1310, 1)),
                                      ("set_attenuation", (500, 2))])
@pytest.mark.parametrize("delay_ms", ["0", "100"], ids=["answered", "before-answer"])
def test_simulator_killed_during_the_wait(op, args, delay_ms, monkeypatch):
    with Simulator("--delay-ms", delay_ms) as sim:
        kq = KQ2741(sim.port)
        assert kq.open() is True
        try:
            def die_while_waiting(seconds):
                sim.kill()
                time.sleep(seconds)

            monkeypatch.setattr(kq2741, "time", types.SimpleNamespace(sleep=die_while_waiting))
            with pytest.raises(OSError) as info:
                getattr(kq, op)(*args)
            # exactly what pyserial itself raises when asked on the dead line
            with pytest.raises(OSError) as direct:
                kq.ser.in_waiting
            assert type(info.value) is type(direct.value) and info.value.errno == direct.value.errno
            monkeypatch.setattr(kq2741, "time", time)
            with pytest.raises(serial.SerialException, match="write failed"):
                kq.close_full_screen()
            assert checksums_valid()
        finally:
            kq.close()


# ---- two instruments, two threads ---------------------------------------------------

WORK = [
    ("read_device_version", (), (dict, type(None)), ()),
    ("read_optical_length", None, (list, type(None)), (IndexError,)),
    ("set_attenuation", "attenuation", (bool,), ()),
    ("read_current_status", None, (dict, type(None)), (IndexError,)),
    ("set_optical_length", "length", (bool,), (RuntimeError, ValueError, IndexError)),
    ("clear_attenuation", None, (bool,), ()),
]


def hammer(kq: KQ2741, ch: int, rounds: int, start: threading.Barrier, report: dict) -> None:
    tally = report.setdefault(ch, {"done": 0, "good": 0, "odd": []})
    start.wait()
    try:
        for i in range(rounds):
            for op, extra, results, errors in WORK:
                args = {None: (ch,), (): (), "attenuation": (100 * i, ch), "length": (1490, ch)}[extra]
                try:
                    value = getattr(kq, op)(*args)
                except errors:
                    continue
                if not isinstance(value, results):
                    tally["odd"].append((op, value))
                tally["good"] += value not in (None, False)
            tally["done"] += 1
    except BaseException as error:  # noqa: BLE001 - reported to the main thread
        tally["odd"].append(("raised", repr(error)))


@needs_simulator
def test_one_driver_per_thread_on_two_instruments(monkeypatch):
    # a short wait and frequent thread switches: as much interleaving as possible
    monkeypatch.setattr(kq2741, "time", types.SimpleNamespace(sleep=lambda seconds: time.sleep(0.03)))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    rounds = 6
    report: dict = {}
    with Simulator() as first, Simulator() as second:
        drivers = [KQ2741(first.port), KQ2741(second.port)]
        try:
            assert all(kq.open() for kq in drivers)
            start = threading.Barrier(2)
            threads = [threading.Thread(target=hammer, args=(kq, ch, rounds, start, report))
                       for kq, ch in zip(drivers, (1, 2))]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=60)
            assert not any(t.is_alive() for t in threads)
        finally:
            sys.setswitchinterval(interval)
        try:
            for ch in (1, 2):
                assert report[ch]["odd"] == [] and report[ch]["done"] == rounds
                assert report[ch]["good"] > 0
            # each object still talks to its own instrument correctly
            monkeypatch.setattr(kq2741, "time", time)
            for kq in drivers:
                assert kq.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}
            assert checksums_valid()
        finally:
            for kq in drivers:
                kq.close()
