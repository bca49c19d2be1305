"""kq2741-tango: the KQ2741 attenuator as a Tango device.

One process owns the serial port and serves the instrument as one Tango
device, its channels as attributes, each write acknowledged and read back,
every change of a read-back pushed as an event. PyTango is an optional
dependency: pip install "kq2741[tango]".
"""
from __future__ import annotations

from .program import main

__all__ = ["main"]
