"""Drive two channels: different attenuations, read back, then clear both.

    python two_channels.py PORT [--first 1 --second 2]"""
from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Iterator

from kq2741 import KQ2741


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port")
    parser.add_argument("--first", type=channel, default=1)
    parser.add_argument("--second", type=channel, default=2)
    args = parser.parse_args()
    if args.first == args.second:
        parser.error("--first and --second must be two different channels")
    targets = {args.first: 1500, args.second: 4200}  # mdB

    with opened(args.port) as kq:
        for ch, mdb in targets.items():
            kq.set_attenuation(mdb, ch)
        ok = True
        for ch, mdb in targets.items():
            status = kq.read_current_status(ch)
            if status is None:
                print(f"channel {ch}: no answer")
                ok = False
                continue
            print(f"channel {ch}: {status['attenuation']} mdB (set {mdb})")
            ok = ok and status["attenuation"] == mdb
        for ch in targets:
            kq.clear_attenuation(ch)
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
