"""Every operation of KQ2741 and Attenuator, and their refusals, on Windows.

tools/check-windows.sh runs it with a Windows CPython under wine, on the
modules cross-built with mingw-w64:

    python.exe operations.py COMPORT

COMPORT is kq2741-sim's pseudo-terminal as wine maps it (COM7); the
Windows CPython's ._pth names where kq2741, kq2741ctl and pyserial are. Each check prints one line; the
exchange medians follow. Exit status 1 when any check failed.
"""
from __future__ import annotations

import ctypes
import statistics
import sys
import time
import traceback
from decimal import Decimal
from fractions import Fraction

import serial

import kq2741
import kq2741ctl
from kq2741ctl import Attenuator, BadAnswer, NoAnswer, PortBusy, Status, Version

COM = sys.argv[1]
MISSING = "COM255"  # no port of that name in the prefix
failed: list[str] = []


def check(what: str, got: object, expected: object) -> None:
    ok = got == expected
    print(f"{'ok' if ok else 'FAILED'}: {what}: {got!r}" + ("" if ok else f", expected {expected!r}"))
    if not ok:
        failed.append(what)


def refused(what: str, error: type[BaseException], call) -> BaseException | None:
    try:
        got = call()
    except error as e:
        print(f"ok: {what}: {type(e).__name__}: {e}")
        return e
    except Exception as e:  # noqa: BLE001 - any other outcome is the failure reported
        print(f"FAILED: {what}: {type(e).__name__}: {e}, expected {error.__name__}")
    else:
        print(f"FAILED: {what}: returned {got!r}, expected {error.__name__}")
    failed.append(what)
    return None


def median_ms(call, runs: int, warmup: int = 200) -> float:
    """The median after a warm-up, as bench/ takes it. Through wine's COM
    port it follows the machine's load: three processes (the Windows
    CPython, wineserver, kq2741-sim) hand each exchange on."""
    for _ in range(warmup):
        call()
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return statistics.median(times) * 1e3


def seeded_class() -> None:
    """KQ2741, the driver as it has always been, on kq2741-sim through COM."""
    kq = kq2741.KQ2741(COM)
    check("KQ2741.check_port_available", kq.check_port_available(), True)
    check("KQ2741.open", kq.open(), True)
    try:
        check("KQ2741.read_device_version", kq.read_device_version(),
              {"module_version": 2, "hard_version": 50, "soft_version": 32})
        check("KQ2741.read_optical_length", kq.read_optical_length(1), [1310, 1490, 1550])
        check("KQ2741.set_optical_length", kq.set_optical_length(1550, 1), True)
        check("KQ2741.set_attenuation", kq.set_attenuation(1100, 1), True)
        started = time.perf_counter()
        status = kq.read_current_status(1)
        took = time.perf_counter() - started
        check("KQ2741.read_current_status", status,
              {"dev_work_mode": 0, "optical_length_index": 2, "attenuation": 1100})
        check("KQ2741 exchange waits its 0.2 s", 0.2 <= took < 0.5, True)
        check("KQ2741.clear_attenuation", kq.clear_attenuation(1), True)
        check("KQ2741.dis_connection", kq.dis_connection(2), True)
        check("KQ2741.close_full_screen", kq.close_full_screen(), True)
        refused("KQ2741.set_optical_length of a wavelength the channel lacks", ValueError,
                lambda: kq.set_optical_length(1234, 1))
        refused("KQ2741.set_attenuation(1.5)", TypeError, lambda: kq.set_attenuation(1.5))
        refused("KQ2741.read_optical_length(True)", TypeError, lambda: kq.read_optical_length(True))
    finally:
        kq.close()
    check("KQ2741.open of a missing port", kq2741.KQ2741(MISSING).open(), False)


def attenuator(port: str, timeout: float = 0.5, silence: bool = True) -> float:
    """Every operation of Attenuator and Channel on port; the status exchange's median.

    silence: also ask a channel nobody answers for. Not through wine's COM
    port: there a read that times out fails (GetOverlappedResult gives
    ERROR_TIMEOUT) where Windows' serial driver returns what arrived, so the
    Attenuator would see pyserial's SerialException in place of its NoAnswer.
    """
    where = f"Attenuator on {port}"
    with Attenuator(port, timeout=timeout) as att:
        check(f"{where}: version", att.version, Version(2, 50, 32))
        ch = att.channel(1)
        check(f"{where}: wavelengths", ch.wavelengths, (1310, 1490, 1550))
        ch.wavelength = 1550
        check(f"{where}: wavelength", ch.wavelength, 1550)
        for value, db in ((3.5, 3.5), (Decimal("0.29"), 0.29), (Fraction(1, 4), 0.25), (0.3, 0.3), (0.1 * 3, 0.3)):
            ch.attenuation = value
            check(f"{where}: attenuation {value!r}", ch.attenuation, db)
        check(f"{where}: status", ch.status(), Status(0, 2, 0.3))
        ch.clear()
        check(f"{where}: clear", ch.attenuation, 0.0)
        ch.disconnect()
        att.close_display()
        check(f"{where}: disconnect, close_display", True, True)
        for value, error in ((0.295, ValueError), (kq2741ctl.MAX_DB + 1, ValueError), (float("nan"), ValueError),
                             ("1", TypeError), (True, TypeError)):
            refused(f"{where}: attenuation {value!r}", error, lambda v=value: setattr(ch, "attenuation", v))
        refused(f"{where}: wavelength 1234", ValueError, lambda: setattr(ch, "wavelength", 1234))
        refused(f"{where}: channel(0)", ValueError, lambda: att.channel(0))
        if silence:
            refused(f"{where}: channel 9, nobody there", NoAnswer, lambda: att.channel(9).status())
        refused(f"{where}: opened twice", serial.SerialException, att.open)
        return median_ms(ch.status, 1000)


def refusals_of_the_port() -> None:
    refused("Attenuator on a missing port", serial.SerialException, lambda: Attenuator(MISSING).open())
    # wine does not refuse a second open of a serial port, as Windows does:
    # pyserial's error for it, as Windows makes it, stands in.
    real_open = serial.Serial.open

    def refused_open(self):
        raise serial.SerialException(f"could not open port {self.portstr!r}: {ctypes.WinError(5)!r}")

    serial.Serial.open = refused_open
    try:
        busy = refused("Attenuator on a port Windows gives to another program", PortBusy,
                       lambda: Attenuator(COM).open())
    finally:
        serial.Serial.open = real_open
    if busy is not None:
        check("PortBusy's cause is pyserial's error", type(busy.__cause__), serial.SerialException)


def simulator_faults() -> None:
    for query, error in (("silent", NoAnswer), ("corrupt", BadAnswer)):
        with Attenuator(f"kq2741sim://?{query}", timeout=0.1) as att:
            refused(f"kq2741sim://?{query}", error, lambda: att.channel(1).status())
    with Attenuator("kq2741sim://?delay_ms=20&split&channels=8", timeout=0.5) as att:
        started = time.perf_counter()
        check("kq2741sim://?delay_ms=20&split: channel 8", att.channel(8).wavelengths, (1310, 1490, 1550))
        check("the answer took its delay and its split", time.perf_counter() - started >= 0.07, True)


def main() -> int:
    print(f"Windows CPython {sys.version.split()[0]} ({sys.platform}); kq2741 from {kq2741.__file__}")
    print(f"kq2741ctl from {kq2741ctl.__file__}")
    medians = {}
    for step in (seeded_class, refusals_of_the_port, simulator_faults):
        try:
            step()
        except Exception:  # noqa: BLE001 - reported, and the run goes on
            traceback.print_exc()
            failed.append(step.__name__)
    for name, port in (("kq2741-sim through " + COM, COM), ("kq2741sim://", "kq2741sim://")):
        try:
            medians[name] = attenuator(port, silence=port != COM)
        except Exception:  # noqa: BLE001
            traceback.print_exc()
            failed.append(f"Attenuator on {port}")
    for name, ms in medians.items():
        print(f"median {ms:.3f} ms: Attenuator status exchange on {name}")
    print(f"FAILED: {', '.join(failed)}" if failed else "passed: every check")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
