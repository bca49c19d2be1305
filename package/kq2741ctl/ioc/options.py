"""The command line of kq2741-ioc: what to serve, from which port, how often to look."""
from __future__ import annotations

import argparse
import math
import sys
from dataclasses import dataclass
from typing import NoReturn

from .pvs import help_lines

USAGE = ("kq2741-ioc (-p PORT | --sim) [--prefix PREFIX] [--channels LIST] [--poll SECONDS]\n"
         "           [--timeout SECONDS] [--verbose]")

DESCRIPTION = """\
Serves a KQ2741 attenuator on the control network: one process owns the serial
port and publishes the instrument as EPICS process variables over Channel Access
and PV Access, every write acknowledged by the instrument and read back.
"""

EPILOG = "\n".join([
    "process variables (PREFIX first):",
    *help_lines(),
    "",
    "exit status:",
    "  0  stopped by SIGINT or SIGTERM",
    "  1  an unexpected failure",
    '  2  usage error, or softioc missing (pip install "kq2741[ioc]")',
    "  4  the port cannot be opened: missing, no permission, or held by another program",
]) + "\n"


@dataclass(frozen=True)
class Options:
    port: str | None
    sim: bool
    prefix: str
    channels: tuple[int, ...]
    poll: float
    timeout: float
    verbose: bool


def channel_list(text: str) -> tuple[int, ...]:
    """'1-4' or '1,3,5-8' as sorted channel numbers, each 1 to 255."""
    channels: set[int] = set()
    for part in text.split(","):
        first, dash, last = part.strip().partition("-")
        try:
            low, high = int(first), int(last if dash else first)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a channel list like 1-4 or 1,3,5-8") from None
        if not 1 <= low <= high <= 255:
            raise argparse.ArgumentTypeError(f"{part.strip()!r}: channels run from 1 to 255, low to high")
        channels.update(range(low, high + 1))
    return tuple(sorted(channels))


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value <= 3600:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds above 0 (at most 3600)")
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, as every program of this package
        sys.stderr.write(f"kq2741-ioc: {message} (kq2741-ioc --help)\n")
        raise SystemExit(2)


def parse(argv: list[str], version: str) -> Options:
    parser = _Parser(prog="kq2741-ioc", usage=USAGE, description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("-p", "--port", help="serial port of the instrument, or a pyserial URL")
    where.add_argument("--sim", action="store_true", help="start kq2741-sim for the IOC's lifetime and serve it")
    parser.add_argument("--prefix", default="KQ2741:", help="first part of every PV name (default KQ2741:)")
    parser.add_argument("--channels", type=channel_list, default=(1, 2, 3, 4), metavar="LIST",
                        help="channels to serve: 1-4 (default), 1,3,5-8")
    parser.add_argument("--poll", type=seconds, default=0.5, metavar="SECONDS",
                        help="how often the read-backs are refreshed (default 0.5)")
    parser.add_argument("--timeout", type=seconds, default=0.25, metavar="SECONDS",
                        help="bound of each exchange (default 0.25: a silent instrument shows within a second)")
    parser.add_argument("--verbose", action="store_true", help="log every frame and every put on stderr")
    parser.add_argument("--version", action="version", version=f"kq2741-ioc {version}")
    args = parser.parse_args(argv)
    # EPICS names hold 60 characters; the longest name here adds 16 (CH255:DISCONNECT).
    if not args.prefix or len(args.prefix) > 44 or any(c.isspace() or c in "\"'.$" for c in args.prefix):
        parser.error(f"--prefix {args.prefix!r}: give at most 44 characters, no spaces, quotes, dots or $")
    return Options(port=args.port, sim=args.sim, prefix=args.prefix, channels=args.channels,
                   poll=args.poll, timeout=args.timeout, verbose=args.verbose)
