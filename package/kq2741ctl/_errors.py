"""What goes wrong with an exchange, as exceptions a caller can tell apart.

Every one is a pyserial ``SerialException`` (and so an ``OSError``), so code
that already catches the serial library's errors catches these too.
"""
from __future__ import annotations

import serial


class InstrumentError(serial.SerialException):
    """The instrument did not answer as it should."""


class NoAnswer(InstrumentError, TimeoutError):
    """No complete, verified answer arrived within the time-out."""


class BadAnswer(InstrumentError):
    """A complete answer with a wrong checksum or shape; its bytes are in ``frame``."""

    def __init__(self, message: str, frame: bytes = b"") -> None:
        super().__init__(message)
        self.frame = frame


class Refused(InstrumentError):
    """The instrument acknowledged the request with a non-zero status byte (``status``)."""

    def __init__(self, message: str, status: int = 0) -> None:
        super().__init__(message)
        self.status = status


class PortBusy(InstrumentError):
    """Another program holds the port."""
