"""The driver through pyserial and a real tty, against the simulated KQ2741.

Every exchange here really waits 0.2 s."""
from __future__ import annotations

import subprocess
import time

import pytest
import serial

import kq2741
from kq2741 import KQ2741
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-sim")

BUSY_LINE = "serial port already opened!, Please close and try" + " " * 23 + "again!\n"
CH2_WAVELENGTHS = [1310, 1550, 1625]


@pytest.fixture
def sim():
    with Simulator("--channel-wavelengths", "2=" + ",".join(map(str, CH2_WAVELENGTHS))) as running:
        yield running


@pytest.fixture
def kq(sim):
    driver = KQ2741(sim.port)
    assert driver.open() is True
    yield driver
    driver.close()


def channel(sim, ch: int) -> dict:
    return sim.state()["channels"][ch - 1]


def test_every_operation_against_the_instrument_state(sim, kq):
    assert kq.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}
    assert kq.read_optical_length() == [1310, 1490, 1550]
    assert kq.read_optical_length(2) == CH2_WAVELENGTHS

    assert kq.set_attenuation(1100, 2) is True
    assert channel(sim, 2)["attenuation_steps"] == 110
    assert kq.read_current_status(2) == {"dev_work_mode": 0, "optical_length_index": 0, "attenuation": 1100}

    # 1625 nm exists only on channel 2: its index comes from channel 2's list
    assert kq.set_optical_length(1625, 2) is True
    assert channel(sim, 2)["wavelength_index"] == 2
    assert kq.read_current_status(2)["optical_length_index"] == 2
    with pytest.raises(ValueError, match="^the length: 1625 no supported yet!$"):
        kq.set_optical_length(1625, 1)
    assert channel(sim, 1)["wavelength_index"] == 0

    assert kq.clear_attenuation(2) is True
    assert channel(sim, 2)["attenuation_steps"] == 0
    assert kq.dis_connection(3) is True
    assert channel(sim, 3)["connected"] is False
    assert kq.close_full_screen() is True


@pytest.mark.parametrize("mdb, steps", [(0, 0), (1109, 110), (655350, 0xFFFF)])
def test_attenuation_round_trip(sim, kq, mdb, steps):
    assert kq.set_attenuation(mdb, 4) is True
    assert channel(sim, 4)["attenuation_steps"] == steps
    assert kq.read_current_status(4)["attenuation"] == steps * 10


def test_port_held_by_another_process_is_busy(sim, capsys):
    with open(sim.port, "rb") as tty:
        holder = subprocess.Popen(["sleep", "30"], stdin=tty)
    try:
        kq = KQ2741(sim.port)
        assert kq.open() is False
        assert capsys.readouterr().out == BUSY_LINE
        assert not hasattr(kq, "ser")
    finally:
        holder.kill()
        holder.wait()
    assert KQ2741(sim.port).check_port_available() is True


def test_open_close_cycles(sim):
    kq = KQ2741(sim.port)
    for _ in range(4):
        assert kq.open() is True
        assert kq.close_full_screen() is True
        kq.close()
    assert kq.check_port_available() is True


def test_late_answer_is_not_taken_for_the_next_one(monkeypatch):
    class ShortWait:
        """Reads back too early once: the instrument's answer arrives after the read."""

        def __init__(self):
            self.first = True

        def sleep(self, seconds):
            time.sleep(0.0 if self.first else seconds)
            self.first = False

    # Each answer comes 50 ms after its request: after the cut-short wait,
    # well within the full one, however busy the machine.
    with Simulator("--delay-ms", "50") as slow:
        kq = KQ2741(slow.port)
        assert kq.open() is True
        try:
            assert kq.set_attenuation(1100, 2) is True
            monkeypatch.setattr(kq2741, "time", ShortWait())
            assert kq.read_current_status(1) is None
            time.sleep(0.2)  # channel 1's status now waits in the input buffer
            assert kq.read_current_status(2) == {"dev_work_mode": 0, "optical_length_index": 0, "attenuation": 1100}
        finally:
            kq.close()


def test_answer_slower_than_the_wait_gives_no_result():
    with Simulator("--delay-ms", "350") as slow:
        kq = KQ2741(slow.port)
        assert kq.open() is True
        try:
            # each late answer has arrived before the next request, which drops it
            for operation, nothing in [
                (kq.read_device_version, None),
                (lambda: kq.set_attenuation(500, 1), False),
                (kq.read_optical_length, None),
            ]:
                assert operation() is nothing
                time.sleep(0.25)
        finally:
            kq.close()


def test_simulator_killed_mid_session(sim, kq):
    assert kq.close_full_screen() is True
    sim.kill()
    with pytest.raises(serial.SerialException):
        kq.read_device_version()
    with pytest.raises(serial.SerialException):
        kq.set_attenuation(100, 1)
    kq.close()
