"""kq2741-panel: the KQ2741 attenuator in a browser, live for every viewer.

One process owns the serial port and serves a page per instrument: each
channel's attenuation (set, read back beside it), its wavelength, clear and
disconnect, the version, close display and the state of the connection.
Every browser sees every change as the instrument reports it. Loopback only
unless told otherwise; anywhere else a token guards every read and write.
Starlette and uvicorn are optional dependencies: pip install "kq2741[panel]".
"""
from __future__ import annotations

from .program import main

__all__ = ["main"]
