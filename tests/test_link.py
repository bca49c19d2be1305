"""The serial link: open/close, the port check, __read and the exchange."""
from __future__ import annotations

import types

import pytest

import kq2741
from conftest import FakeSerial
from kq2741 import KQ2741

BUSY_LINE = "serial port already opened!, Please close and try" + " " * 23 + "again!\n"
CHECK_PREFIX = "检查端口时出错: "


class FakeSerialModule:
    """Stands in for the serial package: records how connections are made."""

    class SerialException(OSError):
        pass

    def __init__(self, fail_with: BaseException | None = None):
        self.fail_with = fail_with
        self.created: list[tuple] = []
        self.connections: list[FakeSerial] = []
        module = self

        class Serial(FakeSerial):
            def __init__(self, *args, **kwargs):
                module.created.append((args, kwargs))
                if module.fail_with is not None:
                    raise module.fail_with
                super().__init__()
                module.connections.append(self)

        self.Serial = Serial


class FakeSubprocess:
    PIPE = object()

    def __init__(self, stdout=b"", error: BaseException | None = None):
        self.stdout = stdout
        self.error = error
        self.calls: list[tuple] = []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return types.SimpleNamespace(stdout=self.stdout, stderr=b"ignored", returncode=1)


def fake_platform(name: str):
    return types.SimpleNamespace(system=lambda: name)


@pytest.fixture
def fakes(monkeypatch):
    def install(system="Linux", listing=b"", serial_error=None, run_error=None):
        ser_mod = FakeSerialModule(serial_error)
        sub = FakeSubprocess(listing, run_error)
        monkeypatch.setattr(kq2741, "serial", ser_mod)
        monkeypatch.setattr(kq2741, "subprocess", sub)
        monkeypatch.setattr(kq2741, "platform", fake_platform(system))
        return ser_mod, sub

    return install


# ---- construction, open, close -------------------------------------------


def test_construction_records_the_port_and_touches_nothing(capsys, fakes):
    ser_mod, sub = fakes()
    kq = KQ2741("/dev/does-not-exist")
    assert kq.port == "/dev/does-not-exist" and not hasattr(kq, "ser")
    assert ser_mod.created == [] and sub.calls == []
    assert capsys.readouterr().out == ""


def test_open_creates_the_connection_with_the_fixed_line_settings(capsys, fakes):
    ser_mod, sub = fakes()
    kq = KQ2741("/dev/ttyUSB0")
    assert kq.open() is True
    assert ser_mod.created == [(("/dev/ttyUSB0", 115200, 8, "N"), {"timeout": 50, "stopbits": 1})]
    assert list(ser_mod.created[0][1]) == ["timeout", "stopbits"]
    assert kq.ser is ser_mod.connections[0]
    assert sub.calls == [((["lsof", "/dev/ttyUSB0"],), {"stdout": sub.PIPE, "stderr": sub.PIPE})]
    assert list(sub.calls[0][1]) == ["stdout", "stderr"]
    assert capsys.readouterr().out == ""
    assert kq.open() is True and kq.ser is ser_mod.connections[1]


def test_open_on_a_busy_port_prints_the_busy_line(capsys, fakes):
    ser_mod, _ = fakes(listing=b"python 123 user 3u CHR /dev/ttyUSB0\n")
    kq = KQ2741("/dev/ttyUSB0")
    assert kq.open() is False
    assert capsys.readouterr().out == BUSY_LINE
    assert ser_mod.created == [] and not hasattr(kq, "ser")


def test_open_reports_the_serial_library_error_glued_to_the_message(capsys, fakes):
    error = FakeSerialModule.SerialException("[Errno 2] could not open port /dev/x")
    fakes(serial_error=error)
    kq = KQ2741("/dev/x")
    assert kq.open() is False
    assert capsys.readouterr().out == "Cannot open serial port[Errno 2] could not open port /dev/x\n"
    assert not hasattr(kq, "ser")


def test_open_catches_subclasses_of_the_serial_error(capsys, fakes):
    class Timeout(FakeSerialModule.SerialException):
        pass

    fakes(serial_error=Timeout("late"))
    assert KQ2741("p").open() is False
    assert capsys.readouterr().out == "Cannot open serial port" + "late\n"


def test_open_swallows_other_exceptions_silently(capsys, fakes):
    fakes(serial_error=ValueError("bad baud"))
    kq = KQ2741("p")
    assert kq.open() is False
    assert capsys.readouterr().out == ""


def test_open_keeps_the_previous_connection_when_it_fails(fakes):
    ser_mod, _ = fakes()
    kq = KQ2741("p")
    assert kq.open() is True
    first = kq.ser
    ser_mod.fail_with = FakeSerialModule.SerialException("gone")
    assert kq.open() is False
    assert kq.ser is first


def test_keyboard_interrupt_in_open_reaches_the_caller(fakes):
    fakes(serial_error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        KQ2741("p").open()


def test_open_uses_the_objects_own_check(monkeypatch, fakes, capsys):
    ser_mod, sub = fakes()
    monkeypatch.setattr(KQ2741, "check_port_available", lambda self: [])  # falsy: busy
    assert KQ2741("p").open() is False
    assert capsys.readouterr().out == BUSY_LINE and sub.calls == []

    def broken(self):
        raise RuntimeError("check broke")

    monkeypatch.setattr(KQ2741, "check_port_available", broken)
    assert KQ2741("p").open() is False
    assert capsys.readouterr().out == ""


def test_close(fakes):
    fakes()
    kq = KQ2741("p")
    with pytest.raises(AttributeError, match="ser"):
        kq.close()
    kq.open()
    assert kq.close() is None
    assert kq.close() is None
    assert kq.ser.log == [("close",), ("close",)]


def test_close_lets_the_librarys_error_through():
    kq = KQ2741("p")
    error = OSError("close failed")

    class Failing:
        def close(self):
            raise error

    kq.ser = Failing()
    with pytest.raises(OSError) as info:
        kq.close()
    assert info.value is error


# ---- the port check ---------------------------------------------------------


@pytest.mark.parametrize("system", ["Windows", "WINDOWS", "windows"])
def test_windows_check_opens_and_closes_the_port(system, fakes, capsys):
    ser_mod, sub = fakes(system=system)
    kq = KQ2741("COM3")
    assert kq.check_port_available() is True
    assert ser_mod.created == [(("COM3",), {})]
    assert ser_mod.connections[0].log == [("close",)]
    assert sub.calls == [] and not hasattr(kq, "ser")
    ser_mod.fail_with = FakeSerialModule.SerialException("could not open port COM3")
    assert kq.check_port_available() is False
    assert capsys.readouterr().out == ""


def test_windows_check_lets_other_errors_through(fakes):
    fakes(system="Windows")
    kq = KQ2741("COM3")
    del kq.port
    with pytest.raises(AttributeError, match="port"):
        kq.check_port_available()


@pytest.mark.parametrize("system", ["Linux", "Darwin", ""])
@pytest.mark.parametrize("listing, free", [(b"", True), (b"x", False), (b"COMMAND PID\n", False)])
def test_listing_check_decides_on_stdout_alone(system, listing, free, fakes, capsys):
    ser_mod, sub = fakes(system=system, listing=listing)
    assert KQ2741("/dev/ttyUSB0").check_port_available() is free
    assert len(sub.calls) == 1 and ser_mod.created == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "error, text",
    [
        (FileNotFoundError(2, "No such file or directory"), "[Errno 2] No such file or directory"),
        (ValueError("embedded null byte"), "embedded null byte"),
    ],
)
def test_listing_check_failure_prints_one_line(error, text, fakes, capsys):
    fakes(run_error=error)
    assert KQ2741("/dev/ttyUSB0").check_port_available() is False
    assert capsys.readouterr().out == CHECK_PREFIX + text + "\n"


def test_listing_check_without_port_attribute_prints_and_is_false(fakes, capsys):
    _, sub = fakes()
    kq = KQ2741("p")
    del kq.port
    assert kq.check_port_available() is False
    assert capsys.readouterr().out == CHECK_PREFIX + "'KQ2741' object has no attribute 'port'\n"
    assert sub.calls == []


def test_listing_check_does_not_catch_keyboard_interrupt(fakes):
    fakes(run_error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        KQ2741("p").check_port_available()


def test_platform_error_reaches_the_caller(monkeypatch):
    def system():
        raise OSError("uname failed")

    monkeypatch.setattr(kq2741, "platform", types.SimpleNamespace(system=system))
    with pytest.raises(OSError, match="uname failed"):
        KQ2741("p").check_port_available()


def test_check_with_the_real_lsof_on_a_missing_device(capsys):
    assert KQ2741("/dev/kq2741-no-such-device").check_port_available() is True
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "method, failure",
    [
        ("open", {"serial_error": FakeSerialModule.SerialException("gone")}),
        ("check_port_available", {"run_error": FileNotFoundError(2, "lsof")}),
    ],
)
def test_a_failing_message_line_carries_the_handled_error_as_its_context(method, failure, fakes, monkeypatch):
    fakes(**failure)

    class PrintFailed(Exception):
        pass

    def print_fails(*args):
        raise PrintFailed

    monkeypatch.setattr(kq2741, "print", print_fails, raising=False)
    with pytest.raises(PrintFailed) as info:
        getattr(KQ2741("p"), method)()
    assert info.value.__context__ is next(iter(failure.values()))


def test_print_goes_through_builtins(monkeypatch, fakes):
    import builtins

    fakes(listing=b"busy")
    lines = []
    monkeypatch.setattr(builtins, "print", lambda *a: lines.append(a))
    KQ2741("p").open()
    assert lines == [(BUSY_LINE[:-1],)]


# ---- __read and the exchange ---------------------------------------------------


def test_read_returns_none_without_reading_when_nothing_waits(connect):
    kq, ser = connect()
    assert kq._KQ2741__read() is None
    assert ser.log == [("inWaiting", 0)]


def test_read_takes_exactly_what_waits(connect):
    kq, ser = connect(stale=bytes(range(10)))
    assert kq._KQ2741__read() == bytes(range(10))
    assert ser.log == [("inWaiting", 10), ("read", 10)]


def test_exchange_order_and_single_wait(connect, fake_time):
    answer = bytes([0x7B, 1, 8, 0, 3, 2, 50, 32, 0, 0x7D])
    kq, ser = connect(answer)
    kq.read_device_version()
    assert ser.log == [
        ("inWaiting", 0),
        ("write", bytes.fromhex("7B 01 05 00 03 7C 7D")),
        ("inWaiting", 10),
        ("read", 10),
    ]
    assert fake_time.sleeps == [0.2]


def test_stale_input_is_drained_before_the_write(connect):
    late_answer = bytes([0x7B, 1, 8, 0x14, 0x36, 0, 0, 2, 0x10, 0, 0, 0x7D])
    version = bytes([0x7B, 1, 8, 0, 3, 2, 50, 32, 0, 0x7D])
    kq, ser = connect(version, stale=late_answer)
    assert kq.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}
    assert ser.log[:3] == [("inWaiting", 12), ("read", 12), ("write", bytes.fromhex("7B 01 05 00 03 7C 7D"))]


def test_wait_uses_the_module_time_at_call_time(connect, monkeypatch):
    kq, _ = connect(b"{}")
    calls = []
    monkeypatch.setattr(kq2741, "time", types.SimpleNamespace(sleep=calls.append))
    kq.close_full_screen()
    assert calls == [0.2]


def test_private_methods_are_looked_up_through_the_object(connect):
    kq, ser = connect()
    seen = []
    kq._KQ2741__read = lambda: seen.append("read") or b"{}"
    kq._KQ2741__cal_crc = lambda frame: seen.append(list(frame))
    assert kq.clear_attenuation(2) is True
    assert seen == [[0x7B, 2, 7, 0x14, 0x34, 0, 0, 0x35, 0x7D], "read"]
    assert ser.writes == [bytes([0x7B, 2, 7, 0x14, 0x34, 0, 0, 0x35, 0x7D])]


# The drain swallows a failing inWaiting or read, so the request still goes out.
@pytest.mark.parametrize("failing, left", [
    ("write", (b"", [b"\x7b\x7d"])),
    ("inWaiting", (b"x\x7b\x7d", [])),
    ("read", (b"x\x7b\x7d", [])),
])
def test_serial_errors_reach_the_caller_unchanged(failing, left, connect):
    kq, ser = connect(bytes([0x7B, 0x7D]), stale=b"x")
    error = OSError(f"{failing} failed")

    def boom(*args):
        raise error

    setattr(ser, failing, boom)
    with pytest.raises(OSError) as info:
        kq.clear_attenuation(1)
    assert info.value is error
    assert ser.take_unread() == left


def test_operations_before_open_raise_attribute_error_after_patching(fake_time):
    kq = KQ2741("p")
    with pytest.raises(AttributeError, match="'KQ2741' object has no attribute 'ser'"):
        kq.clear_attenuation(2)
    assert KQ2741._KQ2741__CMD_CLEAR_ATTENUATION == [0x7B, 2, 7, 0x14, 0x34, 0, 0, 0x34, 0x7D]
    with pytest.raises(AttributeError):
        kq._KQ2741__read()
    assert fake_time.sleeps == []


def test_missing_time_global_is_a_name_error(connect, monkeypatch):
    kq, ser = connect(b"{}")
    monkeypatch.delattr(kq2741, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        kq.close_full_screen()
    assert ser.take_unread() == (b"{}", [])  # the request went out before the wait


def test_a_failing_drain_leaves_the_error_to_the_requests_own_steps(connect):
    kq, ser = connect(b"{}")
    calls = []
    real = ser.inWaiting

    def flaky():
        calls.append("inWaiting")
        if len(calls) == 1:
            raise OSError(5, "Input/output error")
        return real()

    ser.inWaiting = flaky
    assert kq.close_full_screen() is True
    assert ser.writes == [bytes.fromhex("7B 01 05 00 05 7A 7D")] and len(calls) == 2


def test_an_interrupt_during_the_drain_stops_the_request(connect):
    kq, ser = connect(stale=b"late")

    def interrupted(n):
        raise KeyboardInterrupt

    ser.read = interrupted
    with pytest.raises(KeyboardInterrupt):
        kq.close_full_screen()
    assert ser.writes == [] and ser.take_unread() == (b"late", [])
