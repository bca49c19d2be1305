"""The KQ2741 attenuator from Python, one verified exchange at the speed of the line.

    from kq2741ctl import Attenuator

    with Attenuator("/dev/ttyUSB0") as att:
        ch = att.channel(1)
        ch.attenuation = 3.5          # returns after the acknowledgement
        print(ch.attenuation)         # 3.5, read back from the instrument

Each exchange drops stale input, sends the request and returns as soon as the
answer frame is complete and its checksum, channel and command code match;
nothing unverified is ever returned. The exchange runs in C++ with the GIL
released; one lock per Attenuator lets threads share it.

Importing the package registers the pyserial URL ``kq2741sim://``, a
simulated instrument in this process (``Attenuator("kq2741sim://")``).
"""
from __future__ import annotations

from ._errors import BadAnswer, InstrumentError, NoAnswer, PortBusy, Refused
from ._results import Status, Version
from ._core import (
    MAX_DB,
    MAX_STEPS,
    MAX_TIMEOUT,
    STEP_DB,
    STEPS_PER_DB,
    Attenuator,
    Channel,
    attenuation_steps,
)

import serial as _serial

# pyserial looks for kq2741ctl.protocol_kq2741sim when it meets kq2741sim://.
if __name__ not in _serial.protocol_handler_packages:
    _serial.protocol_handler_packages.append(__name__)

__all__ = [
    "MAX_DB",
    "MAX_STEPS",
    "MAX_TIMEOUT",
    "STEPS_PER_DB",
    "STEP_DB",
    "Attenuator",
    "BadAnswer",
    "Channel",
    "InstrumentError",
    "NoAnswer",
    "PortBusy",
    "Refused",
    "Status",
    "Version",
    "attenuation_steps",
]
