"""Sweep one channel's attenuation over a range and read each value back.

    python kq2741class_attenuation_sweep.py PORT [--channel 1] [--start 0] [--stop 3000] [--step 500]

Values are in mdB (1 dB = 1000 mdB); the instrument works in 10 mdB steps.
Exits 1 if any value read back differs from the one set, or the channel does
not answer.

For code written against the class KQ2741 of the module kq2741 (mdB, a
fixed 0.2 s wait, None on failure); new code: attenuation_sweep.py, on
kq2741ctl.Attenuator."""
from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator

try:
    from kq2741 import KQ2741
    from kq2741ctl import MAX_DB
except ModuleNotFoundError as missing:
    print(f"{os.path.basename(__file__)} needs the kq2741 package ({missing.name} is missing): "
          "pip install . in the kq2741 checkout, or pip install its wheel", file=sys.stderr)
    raise SystemExit(2) from None

MAX_MDB = round(MAX_DB * 1000)


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


def attenuation(text: str) -> int:
    """An argparse type: an attenuation in mdB the instrument can hold (0 to MAX_MDB)."""
    value = int(text)
    if not 0 <= value <= MAX_MDB:
        raise argparse.ArgumentTypeError(f"attenuation must be 0 to {MAX_MDB} mdB, not {value}")
    return value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port")
    parser.add_argument("--channel", type=channel, default=1)
    parser.add_argument("--start", type=attenuation, default=0)
    parser.add_argument("--stop", type=attenuation, default=3000)
    parser.add_argument("--step", type=positive, default=500)
    args = parser.parse_args()
    if args.stop < args.start:
        parser.error("--stop must not be below --start")

    mismatches = 0
    with opened(args.port) as kq:
        print(f"{'set mdB':>8} {'read mdB':>9}")
        for mdb in range(args.start, args.stop + 1, args.step):
            status = kq.read_current_status(args.channel) if kq.set_attenuation(mdb, args.channel) else None
            if status is None:
                print(f"{mdb:>8} no answer from channel {args.channel}")
                mismatches += 1
                continue
            expected = mdb // 10 * 10
            read_back = status["attenuation"]
            print(f"{mdb:>8} {read_back:>9}{'' if read_back == expected else '  MISMATCH'}")
            mismatches += read_back != expected
        kq.clear_attenuation(args.channel)
    return 1 if mismatches else 0


if __name__ == "__main__":
    raise SystemExit(main())
