"""Every path of kq2741ctl.Attenuator and Channel, over and over, on a
scripted serial object (a pyserial URL handler of our own, "scripted://"),
so nothing touches a port. The same three checks as workload.py use it:
reference totals on the debug interpreter (--check-refs), LeakSanitizer,
and memcheck. The terminal descriptor path runs in the suite instead.
"""
from __future__ import annotations

import argparse
import logging
import os
import sys
import time
import types
from decimal import Decimal
from fractions import Fraction

import serial
from serial.serialutil import SerialBase

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wire import frame, status_answer  # noqa: E402
from workload import Sink, check_refs, run_cases  # noqa: E402

import kq2741ctl  # noqa: E402
from kq2741ctl import Attenuator, BadAnswer, NoAnswer, Refused  # noqa: E402
from kq2741ctl._simulator import Instrument  # noqa: E402

VERSION = frame(1, b"\x00\x03", bytes([2, 50, 32]))
WAVELENGTHS = frame(1, b"\x07\x2e", bytes([3, 0x1E, 0x05, 0xD2, 0x05, 0x0E, 0x06]))
ACK, REFUSED = frame(1, b"\x14\x3c", b"\x00"), frame(1, b"\x14\x3c", b"\x01")
SELECTED, CLOSED = frame(1, b"\x14\x3a", b"\x00"), frame(1, b"\x00\x05", b"\x00")
CLEARED = frame(1, b"\x14\x34", b"\x00")
BAD_SUM = status_answer(1, 5)[:-2] + b"\x00\x7d"
SCRIPT: list = []  # answers for the next writes, in order: bytes, None (silence) or FAIL
FAIL = object()  # the write fails as a vanished port's does


class ScriptedSerial(SerialBase):
    """What serial_for_url("scripted://") opens: each write is answered with
    the next entry of SCRIPT (None: silence)."""

    def open(self):
        self._buffer = bytearray()
        self.is_open = True

    def close(self):
        self.is_open = False

    def _reconfigure_port(self, *args):
        pass

    @property
    def in_waiting(self):
        return len(self._buffer)

    def read(self, size=1):
        if not self._buffer:
            time.sleep(self.timeout)  # as a port does, so a silent wait reads once
        data = bytes(self._buffer[:size])
        del self._buffer[:size]
        return data

    def write(self, data):
        answer = SCRIPT.pop(0) if SCRIPT else None
        if answer is FAIL:
            raise serial.SerialException("write failed: [Errno 5] Input/output error")
        if answer:
            self._buffer += answer
        return len(data)

    def reset_input_buffer(self):
        self._buffer.clear()


handler = types.ModuleType("kq2741_workload_urls.protocol_scripted")
handler.Serial = ScriptedSerial
sys.modules["kq2741_workload_urls"] = types.ModuleType("kq2741_workload_urls")
sys.modules[handler.__name__] = handler
serial.protocol_handler_packages.insert(0, "kq2741_workload_urls")  # found at once


def on(*answers, timeout=0.002, reconnect=True, do=lambda att: None):
    """do(att) on an open Attenuator whose instrument gives these answers."""
    SCRIPT[:] = answers
    with Attenuator("scripted://", timeout=timeout, reconnect=reconnect) as att:
        return do(att)


class LyingInt(int):
    def __mul__(self, other):
        return 42


class OddDecimal(Decimal):
    def as_integer_ratio(self):
        return (29,)


def ch(do):
    return lambda att: do(att.channel(1))


def setting(value):
    def set_it(c):
        c.attenuation = value
    return set_it


def selecting(nm):
    def select(c):
        c.wavelength = nm
    return select


def scenarios():
    s = []

    def add(what, expected, call):
        s.append((what, call, expected))

    add("version", kq2741ctl.Version(2, 50, 32), lambda: on(VERSION, do=lambda a: a.version))
    add("version misshapen", BadAnswer, lambda: on(frame(1, b"\x00\x03", b"\x02"), do=lambda a: a.version))
    add("bad checksum", BadAnswer, lambda: on(BAD_SUM, do=ch(lambda c: c.status())))
    add("silence", NoAnswer, lambda: on(None, do=ch(lambda c: c.status())))
    add("silence, then the next call", 0.05, lambda: on(None, VERSION, status_answer(1, 5), do=ch(late_then_next)))
    add("a late answer settled while getting back in step", 0.07,
        lambda: on(None, status_answer(1, 5) + VERSION, status_answer(1, 7), do=ch(late_then_next)))
    add("the probe unanswered", NoAnswer, lambda: on(None, None, do=ch(late_then_next)))
    add("the line fails, then is opened again", 0.07,
        lambda: on(FAIL, VERSION, status_answer(1, 7), do=ch(failed_then_next)))
    add("no reconnect: the same line again", 0.07,
        lambda: on(FAIL, VERSION, status_answer(1, 7), reconnect=False, do=ch(failed_then_next)))
    add("a logging handler calls back", 1.1, reentrant)
    add("odd numbers", [300, 29, 30], lambda: [kq2741ctl.attenuation_steps(v) for v in (LyingInt(3), OddDecimal("0.29"))]
        + [kq2741ctl.attenuation_steps(0.295, nearest=True)])
    add("uninitialised", ValueError, lambda: Attenuator.__new__(Attenuator).open())
    add("only another's answer", NoAnswer, lambda: on(status_answer(2, 5), do=ch(lambda c: c.status())))
    add("noise before the answer", 1.1, lambda: on(b"\x7b\x01" + status_answer(1, 110),
                                                   do=ch(lambda c: c.attenuation)))
    add("status", kq2741ctl.Status(0, 1, 1.1), lambda: on(status_answer(1, 110), do=ch(lambda c: c.status())))
    add("wavelengths", (1310, 1490, 1550), lambda: on(WAVELENGTHS, do=ch(lambda c: c.wavelengths)))
    add("wavelength", 1490, lambda: on(status_answer(1, 0), WAVELENGTHS, do=ch(lambda c: c.wavelength)))
    add("wavelength index beyond the list", BadAnswer,
        lambda: on(status_answer(1, 0, index=7), WAVELENGTHS, do=ch(lambda c: c.wavelength)))
    add("select", None, lambda: on(WAVELENGTHS, SELECTED, do=ch(selecting(1550))))
    add("select unsupported", ValueError, lambda: on(WAVELENGTHS, do=ch(selecting(1625))))
    add("select bool", TypeError, lambda: on(do=ch(selecting(True))))
    for value in (0.29, 3, Decimal("655.35"), Fraction(1, 4)):
        add(f"set {value!r}", None, lambda v=value: on(ACK, do=ch(setting(v))))
    for value, error in ((0.295, ValueError), (-1, ValueError), (10**30, ValueError), (Decimal("NaN"), ValueError),
                         (Decimal("1e999"), ValueError), (Fraction(1, 3), ValueError), (float("inf"), ValueError),
                         ("3", TypeError), (False, TypeError)):
        add(f"set {value!r} refused", error, lambda v=value: on(do=ch(setting(v))))
    add("set refused by the instrument", Refused, lambda: on(REFUSED, do=ch(setting(1))))
    add("clear", None, lambda: on(CLEARED, do=ch(lambda c: c.clear())))
    add("disconnect", None, lambda: on(CLEARED, do=ch(lambda c: c.disconnect())))
    add("display", None, lambda: on(CLOSED, do=lambda a: a.close_display()))
    add("delete attenuation", AttributeError, lambda: on(do=ch(lambda c: delattr(c, "attenuation"))))
    add("channel 0", ValueError, lambda: on(do=lambda a: a.channel(0)))
    add("channel str", TypeError, lambda: on(do=lambda a: a.channel("1")))
    add("repr", "<Channel 2 of <Attenuator 'scripted://' open>>", lambda: on(do=lambda a: repr(a.channel(2))))
    add("closed", serial.PortNotOpenError, lambda: Attenuator("scripted://").channel(1).status())
    add("opened twice", serial.SerialException, lambda: on(do=lambda a: a.open()))
    add("timeout refused", ValueError, lambda: Attenuator("scripted://", timeout=-1))
    add("port refused", TypeError, lambda: Attenuator(b"/dev/ttyUSB0"))
    add("logged", 1.1, logged)
    # kq2741sim://, the simulated instrument of kq2741ctl._simulator.
    add("simulated status", kq2741ctl.Status(0, 0, 0.0), lambda: simulated("", ch(lambda c: c.status())))
    add("simulated set, read back", 2.5, lambda: simulated("", ch(set_then_read(2.5))))
    add("simulated select", 1625, lambda: simulated("channel_wavelengths=1=1550,1625&delay_ms=1",
                                                    ch(select_then_read(1625))))
    add("simulated corrupt", BadAnswer, lambda: simulated("corrupt", ch(lambda c: c.status())))
    add("simulated silent", NoAnswer, lambda: simulated("silent", ch(lambda c: c.status()), timeout=0.005))
    add("simulated refused setting", serial.SerialException, lambda: simulated("channels=0", ch(lambda c: c.status())))
    add("simulated named, state", 4, lambda: simulated_state("kq2741sim://workload?channels=4"))
    return s


def simulated(query, do, timeout=0.5):
    """do(att) on kq2741sim:// with query; the time-out only runs out on silence."""
    with Attenuator(f"kq2741sim://?{query}", timeout=timeout) as att:
        return do(att)


def set_then_read(value):
    def run(c):
        c.attenuation = value
        return c.attenuation
    return run


def select_then_read(nm):
    def run(c):
        c.wavelength = nm
        return c.wavelength
    return run


def simulated_state(url):
    # The model's own JSON, counted rather than parsed: json's number
    # parsing would bring CPython's own int() into memcheck's report.
    with serial.serial_for_url(url) as port:
        port.write(frame(1, b"\x00\x03") * 3)
        port.read(port.in_waiting)
    instrument = Instrument([("channels", "4"), ("delay-ms", "0")])
    instrument.write(frame(1, b"\x00\x03"))
    instrument.read(instrument.in_waiting)
    return instrument.state().count('"ch":')


def failed_then_next(c):
    try:
        c.status()
    except serial.SerialException:
        return c.status().attenuation
    return None


class CallsBack(logging.Handler):
    """A handler that uses the Attenuator whose frames it logs."""

    channel = None

    def emit(self, record):
        try:
            self.channel.status()
        except RuntimeError:
            pass


CALLS_BACK = CallsBack()


def reentrant():
    logger = logging.getLogger("kq2741ctl")
    logger.addHandler(CALLS_BACK)
    logger.setLevel(logging.DEBUG)

    def read(c):
        CALLS_BACK.channel = c
        try:
            return c.attenuation
        finally:
            CALLS_BACK.channel = None

    try:
        return on(status_answer(1, 110), do=ch(read))
    finally:
        logger.removeHandler(CALLS_BACK)
        logger.setLevel(logging.NOTSET)


def late_then_next(c):
    try:
        c.status()
    except NoAnswer:
        return c.status().attenuation
    return None


# One handler for every pass: logging keeps a registry of handlers, whose
# table would grow once, late, if each pass made its own.
HANDLER = logging.StreamHandler(Sink())


def logged():
    logger = logging.getLogger("kq2741ctl")
    handler = HANDLER
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        return on(b"\x00" + status_answer(1, 110), do=ch(lambda c: c.attenuation))
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passes", type=int, default=3, help="passes when not checking references")
    parser.add_argument("--check-refs", action="store_true", help="measure references (debug interpreter)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--per-round", type=int, default=10)
    parser.add_argument("--warmup", type=int, default=5)
    parser.add_argument("--expect-core", help="fail unless kq2741ctl._core was imported from this file")
    args = parser.parse_args()
    core = kq2741ctl._core.__file__
    print(f"attenuator workload: kq2741ctl._core from {core}")
    if args.expect_core and not os.path.samefile(core, args.expect_core):
        print(f"attenuator workload: expected kq2741ctl._core from {args.expect_core}", file=sys.stderr)
        return 2
    cases = scenarios()
    if args.check_refs:
        if not hasattr(sys, "gettotalrefcount"):
            print("refs: this interpreter keeps no reference totals (not a debug build)", file=sys.stderr)
            return 2
        ok = check_refs(cases, args.rounds, args.per_round, args.warmup, run=run_cases)
        print("refs: OK, no growth" if ok else "refs: FAILED, references or blocks grow", file=sys.stderr)
        return 0 if ok else 1
    for _ in range(args.passes):
        run_cases(cases, Sink())
    print(f"attenuator workload: {len(cases)} scenarios x {args.passes} passes, all as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
