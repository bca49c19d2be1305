"""The KQ2741 as an ophyd-async device, for bluesky plans, through kq2741-ioc.

    from ophyd_kq2741 import KQ2741

    kq = KQ2741("KQ2741:", channels=(1, 2), name="kq")
    RE(ensure_connected(kq))
    RE(bps.mv(kq.channels[1].wavelength, 1550))
    RE(bp.scan([detector, kq.channels[1]], kq.channels[1].attenuation, 0, 10, 11))

Each channel's attenuation (dB) and wavelength (nm) are read/write signals:
a set writes CH{n}:ATT (or WL) and completes when the IOC has the
instrument's acknowledgement and read-back; a read gives CH{n}:ATT_RBV (or
WL_RBV). Run as a script it scans one channel and prints each reading:

    python ophyd_kq2741.py [PREFIX] [--channel N] [--start DB] [--stop DB] [--num N]

Needs ophyd-async with Channel Access (pip install "ophyd-async[ca]") and a
running kq2741-ioc (kq2741-ioc --sim to try it).
"""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any

try:
    from bluesky import RunEngine
    from bluesky import plans as bp
    from ophyd_async.core import DeviceVector, StandardReadable
    from ophyd_async.core import StandardReadableFormat as Format
    from ophyd_async.epics.core import epics_signal_r, epics_signal_rw_rbv
    from ophyd_async.plan_stubs import ensure_connected
except ModuleNotFoundError as missing:
    package = (missing.name or "").partition(".")[0]
    print(f"{os.path.basename(__file__)} needs bluesky and ophyd-async with Channel Access "
          f'({package} is missing): pip install bluesky "ophyd-async[ca]"', file=sys.stderr)
    raise SystemExit(2) from None


class KQ2741Channel(StandardReadable):
    """One channel: attenuation read in every event, wavelength as configuration."""

    def __init__(self, prefix: str, name: str = "") -> None:
        with self.add_children_as_readables(Format.HINTED_SIGNAL):
            self.attenuation = epics_signal_rw_rbv(float, prefix + "ATT")
        with self.add_children_as_readables(Format.CONFIG_SIGNAL):
            self.wavelength = epics_signal_rw_rbv(int, prefix + "WL")
        super().__init__(name=name)


class KQ2741(StandardReadable):
    """The instrument behind one kq2741-ioc: its channels, by number."""

    def __init__(self, prefix: str = "KQ2741:", channels: tuple[int, ...] = (1, 2, 3, 4), name: str = "") -> None:
        with self.add_children_as_readables():
            self.channels = DeviceVector({n: KQ2741Channel(f"{prefix}CH{n}:") for n in channels})
        self.connected = epics_signal_r(bool, prefix + "CONNECTED_RBV")
        self.version = epics_signal_r(str, prefix + "VERSION_RBV")
        super().__init__(name=name)


def main() -> None:
    parser = argparse.ArgumentParser(description="Scan one channel's attenuation through kq2741-ioc.")
    parser.add_argument("prefix", nargs="?", default="KQ2741:", help="the IOC's --prefix (default KQ2741:)")
    parser.add_argument("--channel", type=int, default=1, help="channel to scan (default 1)")
    parser.add_argument("--start", type=float, default=0.0, help="first attenuation in dB (default 0)")
    parser.add_argument("--stop", type=float, default=3.0, help="last attenuation in dB (default 3)")
    parser.add_argument("--num", type=int, default=4, help="number of points (default 4)")
    args = parser.parse_args()
    if not 1 <= args.channel <= 255 or args.num < 1:
        parser.error("the channel must be 1 to 255 and --num at least 1")

    kq = KQ2741(args.prefix, channels=(args.channel,), name="kq")
    channel = kq.channels[args.channel]

    def show(name: str, doc: Any) -> None:
        if name == "event":
            print(f"{doc['seq_num']:3d}  {doc['data'][channel.attenuation.name]:7.2f} dB")

    RE = RunEngine({})
    RE(ensure_connected(kq))
    RE(bp.scan([channel], channel.attenuation, args.start, args.stop, args.num), show)


if __name__ == "__main__":
    main()
