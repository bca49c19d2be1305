"""Channel lists as people write them: 1-4, 1,3,5-8."""
from __future__ import annotations

import argparse

from kq2741ctl.ioc.options import channel_list as _parse


def channel_list(text: str) -> tuple[int, ...]:
    """Sorted channel numbers, each 1 to 255; ValueError saying what is wrong."""
    try:
        return _parse(text)
    except argparse.ArgumentTypeError as error:
        raise ValueError(str(error)) from None


def ranges(channels: tuple[int, ...]) -> str:
    """(1, 2, 3, 5) as 1-3,5."""
    parts = []
    start = None
    for i, n in enumerate(channels):
        if start is None:
            start = n
        if i + 1 == len(channels) or channels[i + 1] != n + 1:
            parts.append(str(start) if start == n else f"{start}-{n}")
            start = None
    return ",".join(parts)
