"""Sweep one channel's attenuation at the speed of the line, reading each value back.

    python fast_sweep.py PORT CH START STOP STEP      # dB, e.g. /dev/ttyUSB0 1 0 3 0.25

Values are dB on the instrument's 0.01 dB grid, read as exact decimals.
Every set returns once the instrument has acknowledged it, and every
read-back is the instrument's own answer, verified. Exits 1 if a value read
back differs from the one set or the instrument does not answer as it
should, 2 if the port is busy, missing or goes away."""
from __future__ import annotations

import argparse
import decimal
import sys
import time
from decimal import Decimal

import serial
from kq2741ctl import Attenuator, InstrumentError, PortBusy


def channel(text: str) -> int:
    """An argparse type: a channel number, 1 to 255."""
    value = int(text)
    if not 1 <= value <= 255:
        raise argparse.ArgumentTypeError(f"channel must be 1 to 255, not {value}")
    return value


def db(text: str) -> Decimal:
    """An argparse type: dB as an exact decimal, 0 to 655.35 on the 0.01 grid."""
    try:
        value = Decimal(text)
    except decimal.InvalidOperation:
        raise argparse.ArgumentTypeError(f"not a number of dB: {text!r}") from None
    if not value.is_finite() or not 0 <= value <= Decimal("655.35") or value % Decimal("0.01"):
        raise argparse.ArgumentTypeError(f"{text} dB is not 0 to 655.35 in steps of 0.01")
    return value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port")
    parser.add_argument("channel", type=channel)
    parser.add_argument("start", type=db)
    parser.add_argument("stop", type=db)
    parser.add_argument("step", type=db)
    args = parser.parse_args()
    if args.step == 0:
        parser.error("STEP must be more than 0 dB")
    direction = 1 if args.stop >= args.start else -1
    points = int(abs(args.stop - args.start) // args.step) + 1

    try:
        with Attenuator(args.port) as att:
            ch = att.channel(args.channel)
            mismatches = 0
            started = time.perf_counter()
            print(f"{'set dB':>8} {'read dB':>8}")
            for i in range(points):
                value = args.start + direction * i * args.step
                ch.attenuation = value
                read_back = ch.attenuation
                same = Decimal(str(read_back)) == value
                mismatches += not same
                print(f"{value:>8.2f} {read_back:>8.2f}{'' if same else '  MISMATCH'}")
            took = time.perf_counter() - started
            print(f"{points} points in {took * 1000:.1f} ms", file=sys.stderr)
    except serial.SerialException as error:
        print(f"fast_sweep: {error}", file=sys.stderr)
        # The instrument misbehaved: 1; the port is busy, missing or gone: 2.
        return 1 if isinstance(error, InstrumentError) and not isinstance(error, PortBusy) else 2
    return 1 if mismatches else 0


if __name__ == "__main__":
    raise SystemExit(main())
