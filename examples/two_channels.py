"""Drive two channels: different attenuations, read back, then clear both.

    python two_channels.py PORT [--first 1 --second 2]"""
from __future__ import annotations

import argparse

from _common import channel, opened


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
