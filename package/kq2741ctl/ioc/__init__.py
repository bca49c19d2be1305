"""kq2741-ioc: the KQ2741 attenuator on the control network (EPICS).

One process owns the serial port and serves the instrument as process
variables over Channel Access and PV Access (pythonSoftIOC), so any number of
clients share it, each write acknowledged and read back. softioc is an
optional dependency: pip install "kq2741[ioc]".
"""
from __future__ import annotations

from .program import main

__all__ = ["main"]
