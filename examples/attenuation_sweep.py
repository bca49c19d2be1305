"""Sweep one channel's attenuation over a range and read each value back.

    python attenuation_sweep.py PORT [--channel 1] [--start 0] [--stop 3000] [--step 500]

Values are in mdB (1 dB = 1000 mdB); the instrument works in 10 mdB steps.
Exits 1 if any value read back differs from the one set, or the channel does
not answer."""
from __future__ import annotations

import argparse

from _common import attenuation, channel, opened, positive


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
