"""The command line of kq2741-ioc: what to serve, from which port, how often to look."""
from __future__ import annotations

import argparse
import ipaddress
import re
from dataclasses import dataclass

from .._program import OneLineParser, channel_list
from .pvs import MAX_NAME, help_lines, longest_suffix
from .units import MAX_TIMEOUT

# Characters EPICS names are made of (no dots, quotes, spaces or macros), and
# the numbers this program reads, in ASCII digits only: int() and float()
# would also take '1_0', '+1' or other scripts' digits.
NAME_CHARACTERS = re.compile(r"[A-Za-z0-9_:;<>\[\]+-]+")
DECIMAL = re.compile(r"[0-9]+(\.[0-9]*)?|\.[0-9]+")
MIN_SECONDS = 0.01

USAGE = ("kq2741-ioc (-p PORT | --sim) [--prefix PREFIX] [--channels LIST] [--poll SECONDS]\n"
         "           [--timeout SECONDS] [--listen ADDRESSES] [--acf FILE] [--verbose]\n"
         "       kq2741-ioc --screens DIR [--prefix PREFIX] [--channels LIST]")

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
    "  0  stopped by SIGINT, SIGTERM or SIGHUP",
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
    acf: str | None
    verbose: bool
    screens: str | None = None
    listen: tuple[str, ...] | None = None


def addresses(text: str) -> tuple[str, ...]:
    """'127.0.0.1' or '192.168.1.5,10.0.0.2': the IPv4 interfaces to serve on (0.0.0.0: all of them)."""
    found = []
    for part in text.split(","):
        try:
            found.append(str(ipaddress.IPv4Address(part.strip())))
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a list of IPv4 addresses like 192.168.1.5") from None
    return tuple(found)


def seconds(text: str) -> float:
    value = float(text) if DECIMAL.fullmatch(text) else 0.0
    if not MIN_SECONDS <= value <= MAX_TIMEOUT:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a number of seconds from {MIN_SECONDS:g} to {MAX_TIMEOUT:g}, like 0.5")
    return value


def parse(argv: list[str], version: str) -> Options:
    parser = OneLineParser(prog="kq2741-ioc", usage=USAGE, description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("-p", "--port", help="serial port of the instrument, or a pyserial URL")
    where.add_argument("--sim", action="store_true", help="start kq2741-sim for the IOC's lifetime and serve it")
    where.add_argument("--screens", metavar="DIR",
                       help="write the Phoebus (.bob) and PyDM (.ui) screens for --prefix and --channels "
                            "into DIR and exit (the prefix is their macro P)")
    parser.add_argument("--prefix", default="KQ2741:", help="first part of every PV name (default KQ2741:)")
    parser.add_argument("--channels", type=channel_list, default=(1, 2, 3, 4), metavar="LIST",
                        help="channels to serve: 1-4 (default), 1,3,5-8")
    parser.add_argument("--poll", type=seconds, default=0.5, metavar="SECONDS",
                        help="how often the read-backs are refreshed (default 0.5)")
    parser.add_argument("--timeout", type=seconds, default=0.25, metavar="SECONDS",
                        help="bound of each exchange (default 0.25)")
    parser.add_argument("--listen", type=addresses, metavar="ADDRESSES",
                        help="interfaces to serve Channel Access and PV Access on, e.g. 192.168.1.5 or 0.0.0.0 for "
                             "all (default: 127.0.0.1 only, unless EPICS_CAS_INTF_ADDR_LIST or "
                             "EPICS_PVAS_INTF_ADDR_LIST say otherwise)")
    parser.add_argument("--acf", metavar="FILE",
                        help="access-security file to use instead of the built-in one (which lets "
                             "clients write only the settings' values)")
    parser.add_argument("--verbose", action="store_true", help="log every frame and every put on stderr")
    parser.add_argument("--version", action="version", version=f"kq2741-ioc {version}")
    args = parser.parse_args(argv)
    most = MAX_NAME - longest_suffix()
    if not NAME_CHARACTERS.fullmatch(args.prefix) or len(args.prefix) > most:
        parser.error(f"--prefix {args.prefix!r}: give 1 to {most} of the characters A-Z a-z 0-9 _ : ; < > [ ] + -")
    return Options(port=args.port, sim=args.sim, prefix=args.prefix, channels=args.channels,
                   poll=args.poll, timeout=args.timeout, acf=args.acf, verbose=args.verbose, screens=args.screens,
                   listen=args.listen)
