"""Select a wavelength on a channel and confirm it from the instrument.

    python select_wavelength.py PORT WAVELENGTH_NM [--channel 1]

The channel's own list says what it supports (channels may differ); a
wavelength not in it is refused before anything is sent. Exits 1 when the
channel does not support the wavelength, does not confirm it, or the
instrument does not answer as it should; 2 when the port is busy, missing or
goes away."""
from __future__ import annotations

import argparse
import os
import sys

try:
    import serial
    from kq2741ctl import Attenuator, InstrumentError, PortBusy
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


def nm(text: str) -> int:
    """An argparse type: a wavelength in nm, a whole number above zero."""
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"wavelength must be above 0 nm, not {value}")
    return value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", help="e.g. /dev/ttyUSB0, or the simulator's --link")
    parser.add_argument("wavelength", type=nm, help="in nm")
    parser.add_argument("--channel", type=channel, default=1)
    args = parser.parse_args()

    script = os.path.basename(__file__)
    try:
        with Attenuator(args.port) as att:
            ch = att.channel(args.channel)
            print(f"channel {ch.number} supports {', '.join(map(str, ch.wavelengths))} nm")
            try:
                ch.wavelength = args.wavelength
            except ValueError as refused:  # not in the channel's list: nothing was sent
                print(refused)
                return 1
            now = ch.wavelength
    except PortBusy as error:
        print(f"{script}: {error}", file=sys.stderr)
        return 2
    except InstrumentError as error:
        print(f"{script}: {error}", file=sys.stderr)
        return 1
    except serial.SerialException as error:
        print(f"{script}: {error}", file=sys.stderr)
        return 2
    print(f"channel {args.channel} now at {now} nm")
    return 0 if now == args.wavelength else 1


if __name__ == "__main__":
    raise SystemExit(main())
