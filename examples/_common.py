"""What every example shares: opening the instrument and checking arguments."""
from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Iterator

from kq2741 import KQ2741


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


def positive(text: str) -> int:
    """An argparse type: a whole number above zero."""
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be above 0, not {value}")
    return value


def attenuation(text: str) -> int:
    """An argparse type: an attenuation in mdB the instrument can hold (0 to 655350)."""
    value = int(text)
    if not 0 <= value <= 655350:
        raise argparse.ArgumentTypeError(f"attenuation must be 0 to 655350 mdB, not {value}")
    return value
