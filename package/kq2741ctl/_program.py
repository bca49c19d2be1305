"""What the package's programs (kq2741-ioc, kq2741-panel, kq2741-tango) share:
one-line errors with an exit status, the version, and channel lists as
people write them."""
from __future__ import annotations

import argparse
import re
import sys
from importlib import metadata
from typing import NoReturn

# The statuses every program ends with, as kq2741ctl's: 1 an operation
# failed, 2 a usage error, 4 the port cannot be had.
EXIT_FAILURE, EXIT_USAGE, EXIT_PORT = 1, 2, 4

# Channels are one byte on the wire; 0 addresses nobody.
MAX_CHANNEL = 255
# ASCII digits only: int() would also take '1_0', '+1' or other scripts' digits.
WHOLE = re.compile(r"[0-9]+")


class Exit(Exception):
    """Ends a program with one line on stderr and an exit status."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


def version() -> str:
    try:
        return metadata.version("kq2741")
    except metadata.PackageNotFoundError:
        return "unknown"


class OneLineParser(argparse.ArgumentParser):
    """argparse whose usage errors are one line and exit status 2, as every
    program of this package says them."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: {message} ({self.prog} --help)\n")
        raise SystemExit(2)


class ChannelListError(argparse.ArgumentTypeError, ValueError):
    """A channel list that cannot be read: argparse shows it as a usage error."""


def channel_list(text: str) -> tuple[int, ...]:
    """'1-4' or '1,3,5-8' as sorted channel numbers, each 1 to 255."""
    channels: set[int] = set()
    for part in text.split(","):
        first, dash, last = part.strip().partition("-")
        if not WHOLE.fullmatch(first) or (dash and not WHOLE.fullmatch(last)):
            raise ChannelListError(f"{text!r} is not a channel list like 1-4 or 1,3,5-8")
        low, high = int(first), int(last if dash else first)
        if not 1 <= low <= high <= MAX_CHANNEL:
            raise ChannelListError(f"{part.strip()!r}: channels run from 1 to {MAX_CHANNEL}, low to high")
        channels.update(range(low, high + 1))
    return tuple(sorted(channels))


def ranges(channels: tuple[int, ...]) -> str:
    """(1, 2, 3, 5) as 1-3,5: a channel list as people write it."""
    parts, start = [], channels[0]
    for prev, n in zip(channels, channels[1:] + (-1,)):
        if n != prev + 1:
            parts.append(str(start) if start == prev else f"{start}-{prev}")
            start = n
    return ",".join(parts)
