"""kq2741sim://, the instrument model of kq2741-sim inside the process: the
same answers as the program on its pseudo-terminal, the URL's settings, and
the pyserial port around it."""
from __future__ import annotations

import threading
import time

import pytest
import serial

import kq2741ctl  # noqa: F401 - registers kq2741sim://
from kq2741ctl import Attenuator, BadAnswer, NoAnswer
from kq2741ctl._simulator import Instrument
from simulator import Simulator
from wire import frame

VERSION, LIST, STATUS, CLOSE = b"\x00\x03", b"\x07\x2e", b"\x14\x36", b"\x00\x05"
SELECT, SET, CLEAR = b"\x14\x3a", b"\x14\x3c", b"\x14\x34"


def le16(value: int) -> bytes:
    return value.to_bytes(2, "little")


def bad_checksum(request: bytes) -> bytes:
    return request[:-2] + bytes([request[-2] ^ 0x10, 0x7D])


# (kq2741-sim's arguments, [(bytes written at once, answer frames expected)]).
# The kq2741sim:// query is made from the same arguments.
CASES = {
    "every-command": ((), [
        (frame(1, VERSION), 1), (frame(1, LIST), 1), (frame(1, STATUS), 1), (frame(1, CLOSE), 1),
        (frame(1, SELECT, b"\x01"), 1), (frame(1, SET, le16(110)), 1), (frame(1, STATUS), 1),
        (frame(1, CLEAR, le16(0)), 1), (frame(1, CLEAR, le16(0xFFFF)), 1), (frame(1, STATUS), 1),
        (frame(4, SET, le16(0xFFFF)), 1), (frame(4, STATUS), 1),
    ]),
    "refusals": (("--channel-wavelengths", "2=1550,1625"), [
        (frame(1, SELECT, b"\x03"), 1), (frame(2, SELECT, b"\x02"), 1), (frame(1, CLEAR, le16(5)), 1),
        (frame(1, SET, b"\x05"), 1), (frame(1, VERSION, b"\x00"), 1), (frame(1, b"\x12\x34"), 1),
        (frame(2, LIST), 1),
    ]),
    "unanswered": ((), [
        (bad_checksum(frame(1, VERSION)), 0), (frame(0, VERSION), 0), (frame(5, VERSION), 0),
        (frame(1, VERSION), 1),
    ]),
    "noise-and-pieces": ((), [
        (b"\x00\xff\x7d" + frame(1, STATUS), 1), (b"\x7b\x01\x07\x14" + frame(2, VERSION), 1),
        (b"hello\r\n" + frame(3, LIST), 1), (frame(1, VERSION) + frame(2, STATUS), 2),
        (frame(1, SET, le16(7))[:4], 0), (frame(1, SET, le16(7))[4:], 1),
    ]),
    "own-instrument": (("--channels", "8", "--wavelengths", "850,1310", "--channel-wavelengths", "8=1625",
                        "--device-version", "7.0.255"), [
        (frame(8, LIST), 1), (frame(1, LIST), 1), (frame(3, VERSION), 1), (frame(8, SELECT, b"\x00"), 1),
        (frame(8, STATUS), 1), (frame(9, STATUS), 0),
    ]),
    "corrupt": (("--corrupt",), [(frame(1, STATUS), 1), (frame(1, SET, le16(110)), 1)]),
    "split-and-delay": (("--split", "--delay-ms", "20"), [(frame(1, LIST), 1), (frame(2, STATUS), 1)]),
    "silent": (("--silent",), [(frame(1, SET, le16(300)), 0), (frame(1, STATUS), 0)]),
}


def query(args: tuple[str, ...]) -> str:
    """kq2741-sim's arguments as a kq2741sim:// query: --delay-ms 20 is delay_ms=20."""
    parts, i = [], 0
    while i < len(args):
        name = args[i][2:].replace("-", "_")
        if i + 1 < len(args) and not args[i + 1].startswith("--"):
            parts.append(f"{name}={args[i + 1]}")
            i += 2
        else:
            parts.append(name)
            i += 1
    return "&".join(parts)


def frames_in(data: bytes) -> int:
    """Complete frames at the start of data, by their length bytes."""
    count, at = 0, 0
    while len(data) >= at + 3 and len(data) >= at + data[at + 2] + 2:
        at += data[at + 2] + 2
        count += 1
    return count


def take(port, frames: int) -> bytes:
    """The answers to one write: until `frames` frames are in (at most 1 s), or 0.15 s of nothing."""
    deadline = time.monotonic() + (1.0 if frames else 0.15)
    data = b""
    while (frames == 0 or frames_in(data) < frames) and time.monotonic() < deadline:
        data += port.read(max(1, port.in_waiting))
    return data


def run_case(port, steps) -> list[str]:
    answers = []
    for written, frames in steps:
        port.write(written)
        answers.append(take(port, frames).hex(" "))
    answers.append(take(port, 0).hex(" "))  # nothing trails
    return answers


@pytest.mark.needs("kq2741-sim")
@pytest.mark.parametrize("case", CASES)
def test_the_url_answers_as_kq2741_sim_does(case):
    args, steps = CASES[case]
    with Simulator(*args) as sim, serial.Serial(sim.port, timeout=0.01) as pty:
        on_pty = run_case(pty, steps)
        pty_state = sim.state()
    with serial.serial_for_url(f"kq2741sim://?{query(args)}", timeout=0.01) as url:
        on_url = run_case(url, steps)
        url_state = url.state()
    assert on_url == on_pty
    assert [bool(a) for a in on_url[:-1]] == [frames > 0 for _, frames in steps]
    assert url_state == pty_state


@pytest.mark.parametrize("url, message", [
    ("kq2741sim://?channels=0", "channels: expected a number from 1 to 255, got '0'"),
    ("kq2741sim://?channels=99999999999999999999999", "channels: expected a number"),
    ("kq2741sim://?delay_ms=-1", "delay-ms: expected a number from 0 to 600000"),
    ("kq2741sim://?wavelengths=1310,abc", "wavelengths: expected a number from 1 to 65535"),
    ("kq2741sim://?device_version=1.2", "device-version: expected MODULE.HARDWARE.SOFTWARE"),
    ("kq2741sim://?channel_wavelengths=5=1550", "channel-wavelengths: channel 5 is above the 4 channels"),
    ("kq2741sim://?split=yes", "split: expected nothing, 1 or true (on), 0 or false (off), got 'yes'"),
    ("kq2741sim://?state_file=/tmp/x", "state-file: no such setting"),
    ("kq2741sim://?channels=%FF", "channels: expected a number"),
    ("kq2741sim://?channels=%zz8", "channels: expected a number from 1 to 255, got '%zz8'"),
    ("kq2741sim://?channels=\udcff", "can't encode character"),
    ("kq2741sim://bench/path", "expected kq2741sim://[NAME][?option=value&flag&...]"),
    ("kq2741sim://#fragment", "expected kq2741sim://"),
])
def test_bad_urls_are_refused_before_anything_is_made(url, message):
    with pytest.raises(serial.SerialException) as raised:
        serial.serial_for_url(url)
    assert message in str(raised.value)


@pytest.mark.parametrize("flags, answers", [
    ("", True), ("silent", False), ("silent=1", False), ("silent=true", False), ("silent=0", True),
    ("silent=false", True), ("silent&silent=0", True),
])
def test_flags_on_and_off(flags, answers):
    with serial.serial_for_url(f"kq2741sim://?{flags}", timeout=0.01) as port:
        port.write(frame(1, VERSION))
        assert bool(take(port, 1 if answers else 0)) == answers


@pytest.mark.parametrize("query_, call, outcome", [
    ("silent", lambda ch: ch.status(), NoAnswer),
    ("corrupt", lambda ch: ch.status(), BadAnswer),
    ("delay_ms=300", lambda ch: ch.status(), NoAnswer),
    ("delay_ms=30", lambda ch: ch.status().attenuation, 0.0),
    ("split", lambda ch: ch.wavelengths, (1310, 1490, 1550)),
    ("channel_wavelengths=2=1550,1625&channel-wavelengths=3=1625", lambda ch: ch.wavelengths, (1550, 1625)),
    ("channel%5Fwavelengths=2%3D1550%2C1625", lambda ch: ch.wavelengths, (1550, 1625)),
])
def test_the_attenuator_meets_the_faults_through_the_url(query_, call, outcome):
    with Attenuator(f"kq2741sim://?{query_}", timeout=0.2) as att:
        if isinstance(outcome, type):
            with pytest.raises(outcome):
                call(att.channel(2))
        else:
            assert call(att.channel(2)) == outcome


def test_a_named_instrument_outlives_its_port_and_has_one_user_at_a_time():
    with Attenuator("kq2741sim://desk-a?channels=2") as att:
        att.channel(2).attenuation = 4.5
        with pytest.raises(serial.SerialException, match="kq2741sim://desk-a is already open"):
            serial.serial_for_url("kq2741sim://desk-a")
    with Attenuator("kq2741sim://desk-a") as att:  # found as it was left
        assert att.channel(2).attenuation == 4.5
    with pytest.raises(serial.SerialException, match="made with other settings"):
        serial.serial_for_url("kq2741sim://desk-a?channels=3")
    with Attenuator("kq2741sim://?channels=2") as att:  # unnamed: a new instrument each time
        assert att.channel(2).attenuation == 0.0


def test_reads_wait_for_a_late_answer_within_their_timeout():
    with serial.serial_for_url("kq2741sim://?delay_ms=100", timeout=0) as port:
        port.write(frame(1, VERSION))
        assert port.read(10) == b""  # timeout 0: what has arrived, which is nothing yet
        port.reset_input_buffer()  # drops what arrived, not what is still on its way
        port.timeout = 2
        started = time.monotonic()
        assert port.read(10) == frame(1, VERSION, bytes([2, 50, 32]))
        assert 0.08 < time.monotonic() - started < 1.5
        port.timeout = 0.05
        started = time.monotonic()
        assert port.read(1) == b""
        # Windows' monotonic clock ticks every 15.6 ms: the wait is measured to within a tick.
        assert time.monotonic() - started >= 0.05 - time.get_clock_info("monotonic").resolution


@pytest.mark.parametrize("wake", ["write", "close", "cancel_read"])
def test_a_read_without_timeout_ends_when_another_thread_acts(wake):
    port = serial.serial_for_url("kq2741sim://", timeout=None)
    got = []
    reader = threading.Thread(target=lambda: got.append(port.read(10)))
    reader.start()
    time.sleep(0.05)
    assert reader.is_alive()
    if wake == "write":
        port.write(frame(1, VERSION))
    else:
        getattr(port, wake)()
    reader.join(2)
    assert not reader.is_alive()
    assert got == [frame(1, VERSION, bytes([2, 50, 32])) if wake == "write" else b""]
    port.close()


def test_answers_nobody_reads_stop_at_the_input_buffer():
    with serial.serial_for_url("kq2741sim://") as port:
        port.write(frame(1, STATUS) * 20000)  # 240 kB of answers
        assert port.in_waiting == 64 * 1024
        port.reset_input_buffer()
        assert port.in_waiting == 0


@pytest.mark.parametrize("call, error", [
    (lambda p: p.read(-1), ValueError),
    (lambda p: p.read(2**70), OverflowError),
    (lambda p: p.write("text"), TypeError),
    (lambda p: p.write([0x7B, 300]), ValueError),
    (lambda p: p.write(None), TypeError),
    (lambda p: p.write(7), TypeError),
])
def test_odd_arguments_are_refused_cleanly(call, error):
    with serial.serial_for_url("kq2741sim://") as port:
        with pytest.raises(error):
            call(port)
        port.write(frame(1, VERSION))  # and the port works on
        assert take(port, 1) == frame(1, VERSION, bytes([2, 50, 32]))


@pytest.mark.parametrize("settings, error", [
    ([("channels", 5)], TypeError),
    ([("channels",)], TypeError),
    ([["channels", "5"]], TypeError),
    ([("channels", "\udcff")], UnicodeEncodeError),
    (5, TypeError),
    ([("corrupt", "2")], ValueError),
])
def test_the_model_refuses_settings_it_cannot_use(settings, error):
    with pytest.raises(error):
        Instrument(settings)


@pytest.mark.parametrize("call", [
    lambda p: p.read(1), lambda p: p.write(b"x"), lambda p: p.in_waiting, lambda p: p.reset_input_buffer(),
])
def test_a_closed_port_says_so(call):
    port = serial.serial_for_url("kq2741sim://")
    port.close()
    port.close()  # again is harmless
    with pytest.raises(serial.PortNotOpenError):
        call(port)
