"""Opening the instrument the way every example does."""
from __future__ import annotations

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
