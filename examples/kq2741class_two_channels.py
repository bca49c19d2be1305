"""Drive two channels: different attenuations, read back, then clear both.

    python kq2741class_two_channels.py PORT [--first 1 --second 2]

For code written against the class KQ2741 of the module kq2741 (mdB, a
fixed 0.2 s wait, None on failure); new code: two_channels.py, on
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
