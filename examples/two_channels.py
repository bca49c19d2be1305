"""Drive two channels: different attenuations, each read back, then clear both.

    python two_channels.py PORT [--first 1 --second 2]

Exits 1 when a channel reads back something else or does not answer as it
should (the channels set by then are cleared), 2 when the port is busy,
missing or goes away."""
from __future__ import annotations

import argparse
import os
import sys
from decimal import Decimal

try:
    import serial
    from kq2741ctl import Attenuator, Channel, InstrumentError, PortBusy, attenuation_steps
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


def drive(channels: dict[Channel, Decimal]) -> bool:
    """Sets each channel, reads each back, and clears the ones it set however it ends."""
    done: list[Channel] = []
    try:
        for ch, db in channels.items():
            ch.attenuation = db
            done.append(ch)
        ok = True
        for ch, db in channels.items():
            read = ch.status().attenuation
            print(f"channel {ch.number}: {read:.2f} dB (set {db})")
            ok = ok and attenuation_steps(read) == attenuation_steps(db)
        return ok
    finally:
        for ch in done:
            ch.clear()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", help="e.g. /dev/ttyUSB0, or the simulator's --link")
    parser.add_argument("--first", type=channel, default=1)
    parser.add_argument("--second", type=channel, default=2)
    args = parser.parse_args()
    if args.first == args.second:
        parser.error("--first and --second must be two different channels")

    script = os.path.basename(__file__)
    try:
        with Attenuator(args.port) as att:
            ok = drive({att.channel(args.first): Decimal("1.5"), att.channel(args.second): Decimal("4.2")})
    except PortBusy as error:
        print(f"{script}: {error}", file=sys.stderr)
        return 2
    except InstrumentError as error:
        print(f"{script}: {error}", file=sys.stderr)
        return 1
    except serial.SerialException as error:
        print(f"{script}: {error}", file=sys.stderr)
        return 2
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
