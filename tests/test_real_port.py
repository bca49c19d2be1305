"""open() on a real pseudo-terminal: the real lsof check and pyserial's open."""
from __future__ import annotations

import os

import pytest
import serial

from kq2741 import KQ2741

pytestmark = pytest.mark.needs("lsof")

BUSY_LINE = "serial port already opened!, Please close and try" + " " * 23 + "again!\n"


@pytest.fixture
def pty_port():
    """A pty whose slave side nobody holds open: lsof sees it free."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    yield path
    os.close(master)


def test_open_close_open_on_a_free_port(pty_port, capsys):
    kq = KQ2741(pty_port)
    assert kq.check_port_available() is True
    assert kq.open() is True
    ser = kq.ser
    assert isinstance(ser, serial.Serial) and ser.is_open
    assert (ser.port, ser.baudrate, ser.bytesize, ser.parity, ser.stopbits, ser.timeout) == (
        pty_port, 115200, 8, "N", 1, 50)
    assert (ser.xonxoff, ser.rtscts, ser.write_timeout) == (False, False, None)
    kq.close()
    assert not ser.is_open
    kq.close()
    assert kq.open() is True and kq.ser is not ser
    kq.close()
    assert capsys.readouterr().out == ""


def test_port_held_by_this_process_is_busy(pty_port, capsys):
    holder = os.open(pty_port, os.O_RDWR | os.O_NOCTTY)
    try:
        kq = KQ2741(pty_port)
        assert kq.check_port_available() is False
        assert kq.open() is False
        assert capsys.readouterr().out == BUSY_LINE
        assert not hasattr(kq, "ser")
    finally:
        os.close(holder)
    assert KQ2741(pty_port).check_port_available() is True


def test_an_open_driver_sees_its_own_port_busy(pty_port, capsys):
    kq = KQ2741(pty_port)
    assert kq.open() is True
    try:
        assert kq.check_port_available() is False
        assert kq.open() is False
        assert capsys.readouterr().out == BUSY_LINE
    finally:
        kq.close()


def test_missing_device_reports_the_library_error(capsys):
    kq = KQ2741("/dev/kq2741-missing")
    assert kq.open() is False
    out = capsys.readouterr().out
    assert out.startswith("Cannot open serial port[Errno 2] could not open port /dev/kq2741-missing")
    assert out.count("\n") == 1
