"""Select a wavelength on a channel and confirm it in the channel's status.

    python kq2741class_select_wavelength.py PORT WAVELENGTH_NM [--channel 1]

Exits 1 when the channel does not support the wavelength or the status does
not confirm it.

For code written against the class KQ2741 of the module kq2741 (mdB, a
fixed 0.2 s wait, None on failure); new code: select_wavelength.py, on
kq2741ctl.Attenuator."""
from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator

try:
    from kq2741 import KQ2741
except ModuleNotFoundError as missing:
    print(f"{os.path.basename(__file__)} needs the kq2741 package ({missing.name} is missing): "
          "pip install . in the kq2741 checkout, or pip install its wheel", file=sys.stderr)
    raise SystemExit(2) from None


@contextlib.contextmanager
def opened(port: str) -> Iterator[KQ2741]:
    """The driver on an open port, closed again however the block ends.

    Exits with status 2 when the port cannot be opened: open() has already
    printed why (busy, or missing)."""
    kq = KQ2741(port)
    if not kq.open():
        sys.exit(2)
    try:
        yield kq
    finally:
        kq.close()


def channel(text: str) -> int:
    """An argparse type: a channel number, 1 to 255 (one byte on the line)."""
    value = int(text)
    if not 1 <= value <= 255:
        raise argparse.ArgumentTypeError(f"channel must be 1 to 255, not {value}")
    return value


def positive(text: str) -> int:
    """An argparse type: a whole number above zero."""
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be above 0, not {value}")
    return value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port")
    parser.add_argument("wavelength", type=positive, help="in nm")
    parser.add_argument("--channel", type=channel, default=1)
    args = parser.parse_args()

    with opened(args.port) as kq:
        supported = kq.read_optical_length(args.channel)
        if supported is None:
            print(f"no answer from channel {args.channel}")
            return 1
        print(f"channel {args.channel} supports {supported} nm")
        try:
            selected = kq.set_optical_length(args.wavelength, args.channel)
        except ValueError as refused:
            print(refused)
            return 1
        status = kq.read_current_status(args.channel)
        if not selected or status is None:
            print("no answer from the instrument")
            return 1
        now = supported[status["optical_length_index"]]
        print(f"channel {args.channel} now at {now} nm")
        return 0 if now == args.wavelength else 1


if __name__ == "__main__":
    raise SystemExit(main())
