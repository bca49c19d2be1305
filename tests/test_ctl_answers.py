"""How kq2741ctl reads answers, against a scripted instrument on a pty:
noise, stale input, frames of other requests, wrong shapes, refusals."""
from __future__ import annotations

import json
import signal
import subprocess
import termios

import pytest

from ctl import find_ctl, run_ctl
from scripted import ScriptedInstrument
from wire import frame, status_answer as status

pytestmark = pytest.mark.needs("kq2741ctl")


VERSION, LIST, STATUS, SET = b"\x00\x03", b"\x07\x2E", b"\x14\x36", b"\x14\x3C"
REQ_LIST, REQ_STATUS = bytes.fromhex("7B 01 05 07 2E 4A 7D"), bytes.fromhex("7B 01 05 14 36 35 7D")


def wavelengths(ch: int, *nm: int) -> bytes:
    return frame(ch, LIST, bytes([len(nm)]) + b"".join(w.to_bytes(2, "little") for w in nm))


# status reads the channel's list before its status: this one answers it.
LIST_1 = wavelengths(1, 1310, 1550)


@pytest.mark.parametrize("replies, stale, args, status, out, err", [
    # Line noise before the start byte is skipped.
    ([b"\x00\xff\x13" + status(1, 110)], b"", [], 0, 1100, "not a frame, skipped"),
    # Stray bytes that look like a frame's start do not hide the answer behind them.
    ([b"\x7b\x01" + status(1, 110)], b"", [], 0, 1100, "rx 7B 01 | not a frame, skipped"),
    ([b"\x7b\x01\x0d" + status(1, 110)], b"", [], 0, 1100, "rx 7B 01 0D | not a frame, skipped"),
    # A late answer already waiting is dropped before the request goes out.
    ([status(1, 110)], status(1, 999), [], 0, 1100, "waiting before the request, dropped"),
    # A frame answering another request is passed over; the right one follows.
    ([frame(1, VERSION, b"\x02\x32\x20") + status(2, 5) + status(1, 110)], b"", [], 0, 1100,
     "answers status on channel 2, not this request: dropped"),
    # Only frames of others: the instrument answered, but not this request.
    ([frame(1, VERSION, b"\x02\x32\x20")], b"", [], 1, None, "version on channel 1: 7B 01 08"),
    ([frame(1, VERSION, b"\x02\x32\x20")], b"", ["--lenient"], 1, None, "does not have the expected shape"),
    ([status(2, 110)], b"", ["--lenient"], 0, 1100, "status answer"),
    # Wrong payload size with a good checksum.
    ([frame(1, STATUS, b"\x00\x00\x01\x6e")], b"", [], 1, None, "expected shape: 7B 01 09 14 36"),
    # Half a frame, then silence.
    ([status(1, 110)[:5]], b"", [], 3, None, "(incomplete: 7B 01 0A 14 36)"),
])
def test_answer_reading(replies, stale, args, status, out, err):
    instrument = ScriptedInstrument([LIST_1, *replies], stale)
    try:
        result = run_ctl("-p", instrument.port, "--timeout", "0.3", "--verbose", "--json", *args, "status")
    finally:
        instrument.close()
    assert result.returncode == status, result.stderr
    assert err in result.stderr
    if out is not None:
        assert json.loads(result.stdout)["attenuation"] == out
    assert instrument.requests == [REQ_LIST, REQ_STATUS]


# An acknowledgement is reported on stdout, a refusal on stderr, never both.
@pytest.mark.parametrize("ack, status, stream, phrase", [
    (0x00, 0, "stdout", "attenuation set to   1.10 dB"),
    (0x01, 1, "stderr", "refused set attenuation on channel 1: status 01 (bad parameter)"),
])
def test_acknowledgement_status_byte(ack, status, stream, phrase):
    instrument = ScriptedInstrument([frame(1, SET, bytes([ack]))])
    try:
        result = run_ctl("-p", instrument.port, "set", 1, "1.1")
    finally:
        instrument.close()
    other = "stderr" if stream == "stdout" else "stdout"
    assert result.returncode == status
    assert phrase in getattr(result, stream) and getattr(result, other) == ""
    assert instrument.requests == [bytes.fromhex("7B 01 07 14 3C 6E 00 BF 7D")]


@pytest.mark.parametrize("ending", [None, signal.SIGINT, signal.SIGTERM, signal.SIGHUP],
                         ids=["exit", "SIGINT", "SIGTERM", "SIGHUP"])
def test_line_settings_are_put_back_at_the_end(ending):
    instrument = ScriptedInstrument([LIST_1, status(1, 110)])
    # As a terminal is found: cooked, echoing, 9600 baud.
    iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(instrument.slave)
    termios.tcsetattr(instrument.slave, termios.TCSANOW,
                      [iflag | termios.ICRNL, oflag | termios.OPOST, cflag, lflag | termios.ICANON | termios.ECHO,
                       termios.B9600, termios.B9600, cc])
    found = termios.tcgetattr(instrument.slave)
    try:
        with subprocess.Popen([find_ctl(), "-p", instrument.port, "batch"], text=True,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE) as ctl:
            try:
                ctl.stdin.write("status 1\n")
                ctl.stdin.flush()
                assert "attenuation" in ctl.stdout.readline()
                if ending is None:
                    ctl.stdin.close()
                else:
                    ctl.send_signal(ending)
                assert ctl.wait(timeout=5) == (0 if ending is None else -ending)
                assert termios.tcgetattr(instrument.slave) == found
            finally:
                ctl.kill()
    finally:
        instrument.close()


# The status answer gives the wavelength as a position in the channel's list.
@pytest.mark.parametrize("nm, index, status, shown", [
    ((1310, 1550, 1625), 2, 0, "wavelength  1625 nm  index 2  "),
    ((850,), 0, 0, "wavelength   850 nm  index 0  "),
    ((1310, 1550), 2, 1, "channel 1 reports wavelength index 2, but its list has 2 wavelengths (1310, 1550 nm)"),
    ((), 0, 1, "channel 1 reports wavelength index 0, but its list has 0 wavelengths (none)"),
], ids=["last", "only", "past-the-end", "empty-list"])
def test_status_names_the_wavelength_from_the_channels_list(nm, index, status, shown):
    replies = [wavelengths(1, *nm), frame(1, STATUS, bytes([0, 0, index, 0x6E, 0]))]
    instrument = ScriptedInstrument(replies * 2)
    try:
        text = run_ctl("-p", instrument.port, "status")
        as_json = run_ctl("-p", instrument.port, "--json", "status")
    finally:
        instrument.close()
    assert (text.returncode, as_json.returncode) == (status, status)
    assert instrument.requests == [REQ_LIST, REQ_STATUS] * 2
    if status:
        assert text.stdout == as_json.stdout == "" and shown in text.stderr and text.stderr.count("\n") == 1
    else:
        assert shown in text.stdout
        assert json.loads(as_json.stdout) == {"channel": 1, "dev_work_mode": 0, "optical_length_index": index,
                                              "attenuation": 1100, "wavelength": nm[index]}
