"""Test doubles for the serial line, the clock and the platform.

The driver looks up `ser` on the object and `serial`, `time`, `subprocess`
and `platform` in its module at call time, so a test swaps them in with
plain attribute assignment or monkeypatch.
"""
from __future__ import annotations

import copy
import signal

import pytest
from serial.serialutil import to_bytes

import kq2741
import programs
from wire import checksum, request  # noqa: F401 - the tests import them from here


TEMPLATE_NAMES = [
    "_KQ2741__CMD_READ_DEV_VER",
    "_KQ2741__CMD_READ_OPTICAL_LEN",
    "_KQ2741__CMD_READ_CURRENT_STATUS",
    "_KQ2741__CMD_CLOSE_FULLSCREEN",
    "_KQ2741__CMD_SET_OPTICAL_LEN",
    "_KQ2741__CMD_SET_ATTENUATION",
    "_KQ2741__CMD_CLEAR_ATTENUATION",
    "_KQ2741__CMD_DIS_CONNECT",
]


class FakeSerial:
    """A connection whose instrument answers each write with the next scripted
    answer (None: no answer). `stale` is input already waiting before the
    first write. Every call is logged in order.

    A test fails when it leaves input unread: an answer never asked for, or
    bytes (an answer, stale input) still waiting when it ends. One that
    leaves input on purpose (a failure half-way) takes it with take_unread()
    and asserts what was left."""

    made: list[FakeSerial] = []  # by the running test

    def __init__(self, answers=(), stale: bytes = b""):
        self.answers = list(answers)
        self.buffer = bytearray(stale)
        self.log: list[tuple] = []
        self.writes: list[bytes] = []
        self.closed = False
        FakeSerial.made.append(self)

    def take_unread(self) -> tuple[bytes, list]:
        """(bytes still waiting, answers never asked for), taken off the line."""
        left = (bytes(self.buffer), self.answers)
        self.buffer, self.answers = bytearray(), []
        return left

    def unread(self) -> str:
        """What is left on the line, in words; empty when nothing is."""
        left = []
        if self.buffer:
            left.append(f"{bytes(self.buffer)!r} never read")
        if self.answers:
            left.append(f"answers never asked for: {self.answers!r}")
        return "; ".join(left)

    def write(self, data):
        payload = to_bytes(data)  # what pyserial does with a list of ints
        self.log.append(("write", payload))
        self.writes.append(payload)
        if self.answers:
            answer = self.answers.pop(0)
            if answer is not None:
                self.buffer += answer
        return len(payload)

    def inWaiting(self):
        self.log.append(("inWaiting", len(self.buffer)))
        return len(self.buffer)

    def read(self, n):
        self.log.append(("read", n))
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        return data

    def close(self):
        self.log.append(("close",))
        self.closed = True


# The test files that need neither a program of ours nor a POSIX terminal:
# the part of the suite every wheel runs on its own platform (cibuildwheel's
# test-command, `pytest --portable`); their tests that need a program are
# left out too.
PORTABLE = {"test_commands.py", "test_frames.py", "test_surface.py", "test_url_simulator.py"}


def pytest_addoption(parser):
    parser.addoption("--portable", action="store_true",
                     help="only the tests that run wherever the wheel installs (Windows and macOS too)")


def pytest_ignore_collect(collection_path, config):
    if config.getoption("--portable") and collection_path.name.startswith("test_") and collection_path.suffix == ".py":
        return collection_path.name not in PORTABLE
    return None


def pytest_collection_modifyitems(config, items):
    if not config.getoption("--portable"):
        return
    kept, dropped = [], []
    for item in items:
        (dropped if any(item.iter_markers("needs")) else kept).append(item)
    config.hook.pytest_deselected(items=dropped)
    items[:] = kept


def pytest_configure(config):
    # A shell starts a background job with SIGINT ignored, and Python then
    # leaves it so: Ctrl-C tests would see nothing. Python's own handler, as
    # in a terminal; the programs the tests start get the default again.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    config.addinivalue_line("markers", "needs(*names): programs the test runs; a missing one fails it "
                                       "(tests/programs.py)")


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item):
    FakeSerial.made.clear()
    for mark in item.iter_markers("needs"):
        for name in mark.args:
            programs.require(name)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A test that passed fails when it left input unread on a FakeSerial."""
    report = (yield).get_result()
    if call.when != "call":
        return
    left = [text for text in (ser.unread() for ser in FakeSerial.made) if text]
    FakeSerial.made.clear()
    if left and report.passed:
        report.outcome = "failed"
        report.longrepr = "input left unread on the fake connection: " + " | ".join(left)


class FakeTime:
    def __init__(self):
        self.sleeps: list[float] = []

    def sleep(self, seconds):
        self.sleeps.append(seconds)


@pytest.fixture(autouse=True)
def restore_templates():
    """The templates are class state shared by every test: put them back."""
    saved = {name: copy.copy(getattr(kq2741.KQ2741, name)) for name in TEMPLATE_NAMES}
    yield
    for name, values in saved.items():
        getattr(kq2741.KQ2741, name)[:] = values


@pytest.fixture
def fake_time(monkeypatch):
    clock = FakeTime()
    monkeypatch.setattr(kq2741, "time", clock)
    return clock


@pytest.fixture
def connect(fake_time):
    """connect(*answers, stale=b"") -> (driver, fake connection)."""

    def make(*answers, stale: bytes = b""):
        kq = kq2741.KQ2741("/dev/ttyFAKE0")
        kq.ser = FakeSerial(answers, stale)
        return kq, kq.ser

    return make
