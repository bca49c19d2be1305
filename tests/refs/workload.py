"""Every method of kq2741.KQ2741 down every path, over and over.

Used by three checks that need the same traffic but look at different things:

  tools/check-refs.sh      debug interpreter: sys.gettotalrefcount() and
                           sys.getallocatedblocks() must not move between
                           rounds once warmed up (--check-refs)
  tools/check-asan.sh      its LeakSanitizer pass runs this with leak
                           detection on
  tools/check-valgrind.sh  memcheck over a few rounds

Each scenario states what it must produce, so a path that silently stopped
being reached (an exception where a value was due, or the reverse) fails the
run instead of quietly shrinking what is measured.

The connection, clock, serial package, subprocess and platform are doubles:
the driver looks all of them up at call time, so nothing touches a port.
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import os
import sys
import types
import weakref

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
from wire import checksum_ok, request as frame  # noqa: E402

import kq2741
from kq2741 import KQ2741

TEMPLATES = [name for name in vars(KQ2741) if name.startswith("_KQ2741__CMD_")]
PRISTINE = {name: list(getattr(KQ2741, name)) for name in TEMPLATES}


VERSION = frame(0x7B, 1, 8, 0x00, 0x03, 2, 50, 32)
WAVELENGTHS = frame(0x7B, 1, 10, 0x07, 0x2E, 3, 0x1E, 0x05, 0xD2, 0x05, 0x0E, 0x06)
STATUS = frame(0x7B, 1, 10, 0x14, 0x36, 0, 0, 1, 0x6E, 0x00)
ACK = frame(0x7B, 1, 6, 0x14, 0x3C, 0)
SHORT = b"\x7b\x01\x7d"
UNFRAMED = b"\x00\x01\x02\x7d"


class Connection:
    """Answers each write with the next scripted answer (None: silence)."""

    def __init__(self, *answers, stale=b"", fail=None, error=None, once=False, reads_as=None):
        self.answers = list(answers)
        self.buffer = bytearray(stale)
        self.fail, self.error, self.once = fail, error, once
        self.reads_as = reads_as  # turns what read() returns into another type
        self.written = 0

    def _maybe_fail(self, what):
        if self.fail == what:
            if self.once:
                self.fail = None
            raise self.error

    def write(self, data):
        self._maybe_fail("write")
        payload = serial.serialutil.to_bytes(data)
        self.written += 1
        answer = self.answers.pop(0) if self.answers else None
        if answer is not None:
            self.buffer += answer
        return len(payload)

    def inWaiting(self):
        self._maybe_fail("inWaiting")
        return len(self.buffer)

    def read(self, n):
        self._maybe_fail("read")
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        return self.reads_as(data) if self.reads_as else data

    def close(self):
        self._maybe_fail("close")


class Clock:
    def __init__(self, error=None):
        self.error = error

    def sleep(self, seconds):
        if self.error is not None:
            raise self.error


class SerialPackage:
    """Stands in for the serial package in open() and the Windows port check."""

    SerialException = serial.SerialException

    def __init__(self, error=None):
        self.error = error

    # A method, not a class made per package: a new class on every pass
    # churns the interpreter's type caches and blurs the block count.
    def Serial(self, *args, **kwargs):
        if self.error is not None:
            raise self.error
        return Connection()


class Subprocess:
    PIPE = -1

    def __init__(self, listing=b"", error=None):
        self.listing, self.error = listing, error

    def run(self, argv, stdout=None, stderr=None):
        if self.error is not None:
            raise self.error
        return types.SimpleNamespace(stdout=self.listing)


def platform(name):
    return types.SimpleNamespace(system=lambda: name)


class Sink:
    """Takes print() output without growing: the driver prints on some paths."""

    def write(self, text):
        self.last = text
        return len(text)

    def flush(self):
        pass


class Radd:
    """An element the checksum must sum through Python's own arithmetic."""

    def __init__(self, value):
        self.value = value

    def __radd__(self, other):
        return other + self.value

    def __add__(self, other):
        return self.value + other


class Weird:
    def __eq__(self, other):
        return "not a bool"

    __hash__ = object.__hash__


class Boom:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


# ---- scenarios --------------------------------------------------------------


def driver(*answers, **options):
    kq = KQ2741("/dev/ttyWORKLOAD")
    kq.ser = Connection(*answers, **options)
    return kq


def with_globals(call, **swaps):
    saved = {name: getattr(kq2741, name) for name in swaps}
    for name, value in swaps.items():
        setattr(kq2741, name, value)
    try:
        return call()
    finally:
        for name, value in saved.items():
            setattr(kq2741, name, value)


def linux(listing=b"", run_error=None, serial_error=None):
    return dict(platform=platform("Linux"), subprocess=Subprocess(listing, run_error),
                serial=SerialPackage(serial_error))


def windows(serial_error=None):
    return dict(platform=platform("Windows"), subprocess=Subprocess(), serial=SerialPackage(serial_error))


def opened(**fakes):
    kq = KQ2741("/dev/ttyWORKLOAD")
    return with_globals(kq.open, **fakes)


def without_time(call):
    saved = kq2741.time
    del kq2741.time
    try:
        return call()
    finally:
        kq2741.time = saved


def scenarios():
    """(what, callable, expected): expected is a value, or an exception type."""
    s = []

    def add(what, expected, call):
        s.append((what, call, expected))

    cal, check = KQ2741._KQ2741__cal_crc, KQ2741._KQ2741__check_crc
    me = KQ2741("x")
    huge = 10**40

    def filled(data):
        cal(me, data)
        return data

    # construction and the argument rules
    add("init", "p", lambda: KQ2741("p").port)
    add("init keyword", "q", lambda: KQ2741(serial_port="q").port)
    for bad in (lambda: KQ2741(), lambda: KQ2741(1), lambda: KQ2741("a", "b"),
                lambda: KQ2741("x", port="y"), lambda: KQ2741("x", serial_port="y"),
                lambda: KQ2741.set_attenuation(attenuation=1), lambda: me.set_attenuation(1, 2, 3, bad=1),
                lambda: me.set_attenuation(1.0, bad=1), lambda: me.set_optical_length(True),
                lambda: me.read_current_status(ch=None), lambda: cal(me, (1, 2)), lambda: me._KQ2741__read(x=1),
                lambda: me.open(self=me), lambda: me.clear_attenuation(1, ch=2)):
        add("argument rules", TypeError, bad)

    # the checksum, fast and slow paths
    add("check good", True, lambda: check(me, [0x7B, 1, 5, 0, 3, 0x7C, 0x7D]))
    add("check bad", False, lambda: check(me, [0x7B, 1, 5, 0, 3, 0x7D, 0x7D]))
    add("check short", IndexError, lambda: check(me, [1]))
    add("check huge", True, lambda: check(me, [huge, -huge, 0, 0x7D]))
    add("check bools", True, lambda: check(me, [True, True, 0xFE, 0x7D]))
    add("check float", TypeError, lambda: check(me, [1.5, 2, 0, 0x7D]))
    add("check str", TypeError, lambda: check(me, ["a", 2, 0, 0x7D]))
    add("check radd", True, lambda: check(me, [Radd(5), 0xFB, 0x7D]))
    add("check odd eq", "not a bool", lambda: check(me, [1, Weird(), 0]))
    add("cal empty", IndexError, lambda: cal(me, []))
    add("cal two", [0, 5], lambda: filled([5, 5]))
    add("cal huge", [huge, 1, (-huge - 1) & 0xFF, 0x7D], lambda: filled([huge, 1, 0, 0x7D]))
    add("cal radd", 0xFF, lambda: filled([Radd(1), 0, 0])[-2])
    add("cal float", TypeError, lambda: cal(me, [0.5, 0, 0]))

    # __read
    add("read nothing", None, lambda: driver()._KQ2741__read())
    add("read waiting", b"abc", lambda: driver(stale=b"abc")._KQ2741__read())
    add("read before open", AttributeError, lambda: KQ2741("p")._KQ2741__read())

    # the operations and their answers
    add("version", {"module_version": 2, "hard_version": 50, "soft_version": 32},
        lambda: driver(VERSION).read_device_version())
    add("version list answer", {"module_version": 2, "hard_version": 50, "soft_version": 32},
        lambda: driver(VERSION, reads_as=list).read_device_version())
    add("version short", None, lambda: driver(SHORT).read_device_version())
    add("version silence", None, lambda: driver(None).read_device_version())
    add("version stale", {"module_version": 2, "hard_version": 50, "soft_version": 32},
        lambda: driver(VERSION, stale=STATUS).read_device_version())
    add("version untruthful", ZeroDivisionError,
        lambda: driver(VERSION, reads_as=lambda data: Boom()).read_device_version())
    add("wavelengths", [1310, 1490, 1550], lambda: driver(WAVELENGTHS).read_optical_length())
    add("wavelengths ch kw", [1310, 1490, 1550], lambda: driver(WAVELENGTHS).read_optical_length(ch=2))
    add("wavelengths silence", None, lambda: driver(None).read_optical_length(3))
    add("wavelengths unframed", None, lambda: driver(UNFRAMED).read_optical_length())
    add("wavelengths short", IndexError, lambda: driver(SHORT).read_optical_length())
    add("wavelengths overstated", IndexError, lambda: driver(frame(0x7B, 1, 2, 3, 4, 9, 1)).read_optical_length())
    add("wavelengths float count", TypeError,
        lambda: driver(WAVELENGTHS, reads_as=lambda d: [0x7B, 1, 2, 3, 4, 1.0, 0x7D]).read_optical_length())
    add("wavelengths channel 256", ValueError, lambda: driver(WAVELENGTHS).read_optical_length(256))
    add("select", True, lambda: driver(WAVELENGTHS, ACK).set_optical_length(1490, 2))
    add("select refused", False, lambda: driver(WAVELENGTHS, UNFRAMED).set_optical_length(1550))
    add("select silence", False, lambda: driver(WAVELENGTHS, None).set_optical_length(1310))
    add("select no list", RuntimeError, lambda: driver(None).set_optical_length(1310))
    add("select empty list", RuntimeError, lambda: driver(frame(0x7B, 1, 6, 7, 0x2E, 0)).set_optical_length(1))
    add("select unknown", ValueError, lambda: driver(WAVELENGTHS).set_optical_length(1625))
    add("select short list", IndexError, lambda: driver(SHORT).set_optical_length(1310))
    add("status", {"dev_work_mode": 0, "optical_length_index": 1, "attenuation": 1100},
        lambda: driver(STATUS).read_current_status(1))
    add("status short", IndexError, lambda: driver(SHORT).read_current_status())
    add("status unframed", None, lambda: driver(UNFRAMED).read_current_status())
    add("status big bytes", {"dev_work_mode": 10**30, "optical_length_index": 0, "attenuation": (2**80 * 256 + 1) * 10},
        lambda: driver(STATUS, reads_as=lambda d: [0x7B, 0, 0, 0, 0, 10**30, 0, 0, 1, 2**80, 0x7D]).read_current_status())
    for op, call in (
        ("set", lambda kq: kq.set_attenuation(1100, 2)),
        ("set kw", lambda kq: kq.set_attenuation(ch=3, attenuation=655350)),
        ("clear", lambda kq: kq.clear_attenuation(4)),
        ("disconnect", lambda kq: kq.dis_connection()),
        ("full screen", lambda kq: kq.close_full_screen()),
    ):
        add(op, True, lambda call=call: call(driver(ACK)))
        add(op + " refused", False, lambda call=call: call(driver(UNFRAMED)))
        add(op + " silence", False, lambda call=call: call(driver(None)))
        add(op + " empty read", False, lambda call=call: call(driver(ACK, reads_as=lambda d: b"")))
        # the drain before the write shrugs off a failing line, not an interrupt
        add(op + " drain fails", True,
            lambda call=call: call(driver(ACK, fail="inWaiting", error=OSError(5, "EIO"), once=True)))
        add(op + " drain interrupted", KeyboardInterrupt,
            lambda call=call: call(driver(ACK, stale=b"late", fail="read", error=KeyboardInterrupt(), once=True)))
        for failing in ("write", "inWaiting", "read"):
            # a new error each time: raising one object again grows its traceback
            add(op + " " + failing + " fails", serial.SerialException,
                lambda call=call, f=failing: call(driver(ACK, stale=b"x", fail=f, error=serial.SerialException(f))))
        add(op + " interrupted", KeyboardInterrupt,
            lambda call=call: with_globals(lambda: call(driver(ACK)), time=Clock(KeyboardInterrupt())))
        add(op + " before open", AttributeError, lambda call=call: call(KQ2741("p")))
        add(op + " no time", NameError, lambda call=call: without_time(lambda: call(driver(ACK))))
    add("attenuation beyond 16 bits", ValueError, lambda: driver(ACK).set_attenuation(655360))
    add("attenuation negative", ValueError, lambda: driver(ACK).set_attenuation(-10))
    add("attenuation huge", OverflowError, lambda: driver(ACK).set_attenuation(10**400))
    add("attenuation big", ValueError, lambda: driver(ACK).set_attenuation(2**62))
    add("channel -1", ValueError, lambda: driver(ACK).clear_attenuation(-1))

    # port check, open, close
    add("free", True, lambda: with_globals(KQ2741("p").check_port_available, **linux()))
    add("busy", False, lambda: with_globals(KQ2741("p").check_port_available, **linux(b"holder")))
    add("lsof missing", False,
        lambda: with_globals(KQ2741("p").check_port_available, **linux(run_error=FileNotFoundError(2, "gone"))))
    add("lsof interrupted", KeyboardInterrupt,
        lambda: with_globals(KQ2741("p").check_port_available, **linux(run_error=KeyboardInterrupt())))
    add("windows free", True, lambda: with_globals(KQ2741("COM3").check_port_available, **windows()))
    add("windows busy", False,
        lambda: with_globals(KQ2741("COM3").check_port_available, **windows(serial.SerialException("busy"))))
    add("windows other", OSError,
        lambda: with_globals(KQ2741("COM3").check_port_available, **windows(OSError("odd"))))
    add("platform fails", ZeroDivisionError,
        lambda: with_globals(KQ2741("p").check_port_available, platform=types.SimpleNamespace(system=lambda: 1 / 0)))
    add("open", True, lambda: opened(**linux()))
    add("open busy", False, lambda: opened(**linux(b"holder")))
    add("open serial error", False, lambda: opened(**linux(serial_error=serial.SerialException("no port"))))
    add("open other error", False, lambda: opened(**linux(serial_error=ValueError("bad baud"))))
    add("open interrupted", KeyboardInterrupt, lambda: opened(**linux(serial_error=KeyboardInterrupt())))
    add("close", None, lambda: driver().close())
    add("close before open", AttributeError, lambda: KQ2741("p").close())
    add("close fails", OSError, lambda: driver(fail="close", error=OSError("close")).close())

    # the method objects themselves
    func = vars(KQ2741)["set_attenuation"]
    add("method surface", (3, (1,), "KQ2741.set_attenuation"),
        lambda: (func.__code__.co_argcount, func.__defaults__, func.__qualname__))
    add("method repr", True, lambda: repr(func).startswith("<function KQ2741.set_attenuation at "))
    add("method weakref", True, lambda: weakref.ref(func)() is func)
    add("method globals", True, lambda: func.__globals__ is vars(kq2741) and func.__kwdefaults__ is None)
    add("bound method", True, lambda: me.open.__func__ is vars(KQ2741)["open"])
    return s


class Mismatch(AssertionError):
    pass


def run_cases(cases, sink):
    """Each (what, call, expected): expected is the result, or the type of
    the exception the call must raise."""
    with contextlib.redirect_stdout(sink):
        for what, call, expected in cases:
            try:
                got = call()
            except BaseException as error:  # KeyboardInterrupt is one of the paths
                if isinstance(expected, type) and isinstance(error, expected):
                    continue
                raise Mismatch(f"{what}: raised {error!r}, expected {expected!r}") from error
            if isinstance(expected, type) or got != expected:
                raise Mismatch(f"{what}: returned {got!r}, expected {expected!r}")


def run_once(cases, sink):
    run_cases(cases, sink)
    for name in TEMPLATES:
        template = getattr(KQ2741, name)
        if not checksum_ok(template):
            raise Mismatch(f"{name} left with a wrong checksum: {template}")
        template[:] = PRISTINE[name]


def check_refs(cases, rounds, per_round, warmup, run=run_once):
    """Totals after each round of `per_round` passes of run(cases, sink);
    every round must leave them exactly where the previous one did."""
    sink = Sink()
    for _ in range(warmup):
        run(cases, sink)
    # One distinct int per slot, so that storing a measurement frees the
    # placeholder it replaces and the record keeps the block count level.
    refs = [10**12 + r for r in range(rounds + 1)]
    blocks = [10**12 + r for r in range(rounds + 1)]
    for r in range(rounds + 1):
        if r:
            for _ in range(per_round):
                run(cases, sink)
        gc.collect()
        refs[r] = sys.gettotalrefcount()
        blocks[r] = sys.getallocatedblocks()
    ref_steps = [b - a for a, b in zip(refs, refs[1:])]
    block_steps = [b - a for a, b in zip(blocks, blocks[1:])]
    print(f"refs: {len(cases)} scenarios x {per_round} passes x {rounds} rounds after {warmup} warm-up passes")
    print(f"refs: total refcount change per round {ref_steps}")
    print(f"refs: allocated blocks change per round {block_steps}")
    return all(step == 0 for step in ref_steps + block_steps)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passes", type=int, default=3, help="passes when not checking references")
    parser.add_argument("--check-refs", action="store_true", help="measure references (debug interpreter)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--per-round", type=int, default=20)
    parser.add_argument("--warmup", type=int, default=5)
    parser.add_argument("--expect-module", help="fail unless kq2741 was imported from this file")
    args = parser.parse_args()
    print(f"workload: kq2741 from {kq2741.__file__}")
    if args.expect_module and not os.path.samefile(kq2741.__file__, args.expect_module):
        print(f"workload: expected kq2741 from {args.expect_module}", file=sys.stderr)
        return 2
    kq2741.time = Clock()  # the 0.2 s wait of every exchange, made instant
    cases = scenarios()
    if args.check_refs:
        if not hasattr(sys, "gettotalrefcount"):
            print("refs: this interpreter keeps no reference totals (not a debug build)", file=sys.stderr)
            return 2
        ok = check_refs(cases, args.rounds, args.per_round, args.warmup)
        print("refs: OK, no growth" if ok else "refs: FAILED, references or blocks grow", file=sys.stderr)
        return 0 if ok else 1
    sink = Sink()
    for _ in range(args.passes):
        run_once(cases, sink)
    print(f"workload: {len(cases)} scenarios x {args.passes} passes, all as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
