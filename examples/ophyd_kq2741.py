"""Scan one channel's attenuation through kq2741-ioc in a bluesky plan.

    python ophyd_kq2741.py [PREFIX] [--channel N] [--start DB] [--stop DB] [--num N]

The device is kq2741ctl.ophyd.KQ2741Epics: it finds the IOC's PVs through
its PVI structure (PV Access); give ca://PREFIX to use Channel Access.
Each event prints its number and the attenuation read back. Needs
pip install "kq2741[bluesky]" and a running kq2741-ioc (kq2741-ioc --sim
to try it).
"""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any

try:
    from bluesky import RunEngine
    from bluesky import plans as bp
    from ophyd_async.plan_stubs import ensure_connected

    from kq2741ctl.ophyd import KQ2741Epics
except ModuleNotFoundError as missing:  # one line, not a traceback
    package = (missing.name or "").partition(".")[0]
    print(f"{os.path.basename(__file__)} needs bluesky and ophyd-async ({package} is missing): "
          'pip install "kq2741[bluesky]"', file=sys.stderr)
    raise SystemExit(2) from None


def main() -> None:
    parser = argparse.ArgumentParser(description="Scan one channel's attenuation through kq2741-ioc.")
    parser.add_argument("prefix", nargs="?", default="KQ2741:", help="the IOC's --prefix (default KQ2741:)")
    parser.add_argument("--channel", type=int, default=1, help="channel to scan (default 1)")
    parser.add_argument("--start", type=float, default=0.0, help="first attenuation in dB (default 0)")
    parser.add_argument("--stop", type=float, default=3.0, help="last attenuation in dB (default 3)")
    parser.add_argument("--num", type=int, default=4, help="number of points (default 4)")
    args = parser.parse_args()

    kq = KQ2741Epics(args.prefix, name="kq", channels=(args.channel,))
    RE = RunEngine({})
    RE(ensure_connected(kq))
    channel = kq.ch[args.channel]

    def show(name: str, doc: Any) -> None:
        if name == "event":
            print(f"{doc['seq_num']:3d}  {doc['data'][channel.attenuation.name]:7.2f} dB")

    RE(bp.scan([channel], channel.attenuation, args.start, args.stop, args.num), show)


if __name__ == "__main__":
    main()
