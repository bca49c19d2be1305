"""Sweep one channel's attenuation, reading each value back, at the speed of the line.

    python attenuation_sweep.py PORT [--channel 1] [--start 0] [--stop 3] [--step 0.5] [--dwell 0]

Values are dB, read as exact decimals, on the instrument's grid
(kq2741ctl.STEP_DB steps, 0 to kq2741ctl.MAX_DB); a START above STOP sweeps
downwards. Every set returns once the instrument has acknowledged it, and
every read-back is the instrument's own answer, verified. --dwell waits that
many seconds at each point (for a detector, or the optics to settle).
Exits 1 if a value read back differs from the one set or the instrument does
not answer as it should, 2 if the port is busy, missing or goes away."""
from __future__ import annotations

import argparse
import os
import sys
import time
from decimal import Decimal, InvalidOperation

try:
    import serial
    from kq2741ctl import Attenuator, InstrumentError, PortBusy, attenuation_steps
except ModuleNotFoundError as missing:
    print(f"{os.path.basename(__file__)} needs the kq2741 package ({missing.name} is missing): "
          "pip install . in the kq2741 checkout, or pip install its wheel", file=sys.stderr)
    raise SystemExit(2) from None


def channel(text: str) -> int:
    """An argparse type: a channel number, 1 to 255 (one byte on the line)."""
    value = int(text)
    if not 1 <= value <= 255:
        raise argparse.ArgumentTypeError(f"channel must be 1 to 255, not {value}")
    return value


def db(text: str) -> Decimal:
    """An argparse type: dB the instrument can set, judged by the Attenuator's own rule."""
    try:
        value = Decimal(text)
        attenuation_steps(value)
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"not a number of dB: {text!r}") from None
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return value


def seconds(text: str) -> float:
    """An argparse type: a wait of 0 s or more."""
    value = float(text)
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be 0 s or more, not {text}")
    return value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", help="e.g. /dev/ttyUSB0, or the simulator's --link")
    parser.add_argument("--channel", type=channel, default=1)
    parser.add_argument("--start", type=db, default=Decimal(0), help="dB (default 0)")
    parser.add_argument("--stop", type=db, default=Decimal(3), help="dB (default 3)")
    parser.add_argument("--step", type=db, default=Decimal("0.5"), help="dB (default 0.5)")
    parser.add_argument("--dwell", type=seconds, default=0.0, help="seconds at each point (default 0)")
    args = parser.parse_args()
    if args.step == 0:
        parser.error("--step must be more than 0 dB")
    direction = 1 if args.stop >= args.start else -1
    points = [args.start + direction * i * args.step for i in range(int(abs(args.stop - args.start) // args.step) + 1)]

    script = os.path.basename(__file__)
    try:
        with Attenuator(args.port) as att:
            ch = att.channel(args.channel)
            mismatches = 0
            started = time.perf_counter()
            print(f"{'set dB':>8} {'read dB':>8}")
            for i, value in enumerate(points):
                if i and args.dwell:
                    time.sleep(args.dwell)
                ch.attenuation = value
                read_back = ch.attenuation
                same = attenuation_steps(read_back) == attenuation_steps(value)
                mismatches += not same
                print(f"{value:>8.2f} {read_back:>8.2f}{'' if same else '  MISMATCH'}")
            took = time.perf_counter() - started
            print(f"{len(points)} points in {took * 1000:.1f} ms", file=sys.stderr)
    except PortBusy as error:
        print(f"{script}: {error}", file=sys.stderr)
        return 2
    except InstrumentError as error:  # no answer, a bad one, or a refusal
        print(f"{script}: {error}", file=sys.stderr)
        return 1
    except serial.SerialException as error:  # the port is missing, or went away
        print(f"{script}: {error}", file=sys.stderr)
        return 2
    return 1 if mismatches else 0


if __name__ == "__main__":
    raise SystemExit(main())
