"""The command line of kq2741-tango: a Tango server instance, or one device without a database."""
from __future__ import annotations

import argparse
import ipaddress
import math
import re
import sys
from dataclasses import dataclass

from kq2741ctl._program import OneLineParser, channel_list

USAGE = ("kq2741-tango INSTANCE [TANGO OPTIONS]\n"
         "       kq2741-tango (-p PORT | --sim) [--tango-port N] [--device NAME] [--channels LIST]\n"
         "                    [--bind ADDRESS] [--timeout SECONDS] [--poll SECONDS] [--verbose]")

DESCRIPTION = """\
Serves a KQ2741 attenuator as a Tango device: one process owns the serial port,
every write is acknowledged by the instrument and read back, and every change
of a read-back is pushed as a change and an archive event.

With a Tango database (TANGO_HOST set), start it as Tango servers start:
INSTANCE names the server kq2741-tango/INSTANCE registered there, whose one
device of class KQ2741 takes the serial port from its property Port (and
Channels, Timeout, PollPeriod if set). Without a database, -p or --sim serves
the device NAME and prints the one line a client opens once it serves:
tango://127.0.0.1:N/NAME#dbase=no
"""

EPILOG = """\
attributes (N a served channel):
  chN_attenuation   dB, read/write; reads the instrument's read-back
  chN_wavelength    nm, read/write; one of chN_wavelengths
  chN_wavelengths   nm, the wavelengths the channel supports
  chN_mode          the channel's work mode
  version           module.hardware.software
commands: ClearChannel(N), DisconnectChannel(N), CloseDisplay, Init (reopens the port)

exit status:
  0  stopped by SIGINT, SIGTERM or SIGHUP
  1  an unexpected failure, or the Tango database out of reach
  2  usage error, PyTango missing (pip install "kq2741[tango]"), or no device of
     class KQ2741 registered for the server kq2741-tango/INSTANCE
  4  the serial port cannot be opened (missing, no permission, or held by another
     program), or the TCP port given by --tango-port is taken
"""

DEVICE_NAME = re.compile(r"[A-Za-z0-9_.-]+/[A-Za-z0-9_.-]+/[A-Za-z0-9_.-]+")


@dataclass(frozen=True)
class WithDatabase:
    """kq2741-tango INSTANCE ...: Tango's own start, options passed on."""
    instance: str
    tango_args: tuple[str, ...]


@dataclass(frozen=True)
class WithoutDatabase:
    port: str | None
    sim: bool
    tango_port: int
    device: str
    channels: tuple[int, ...]
    bind: str
    timeout: float
    poll: float
    verbose: bool


def _channels(text: str) -> tuple[int, ...]:
    try:
        return channel_list(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds above 0")
    return value


def _tcp_port(text: str) -> int:
    if not (text.isascii() and text.isdigit() and int(text) <= 65535):
        raise argparse.ArgumentTypeError(f"{text!r} is not a TCP port (0 to 65535; 0 takes a free one)")
    return int(text)


def _device(text: str) -> str:
    if not DEVICE_NAME.fullmatch(text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a device name like kq2741/attenuator/1")
    return text


def _address(text: str) -> str:
    try:
        return str(ipaddress.IPv4Address(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an IPv4 address like 127.0.0.1") from None



def parse(argv: list[str], version: str) -> WithDatabase | WithoutDatabase:
    parser = OneLineParser(prog="kq2741-tango", usage=USAGE, description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    if argv and not argv[0].startswith("-"):
        return WithDatabase(argv[0], tuple(argv[1:]))
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("-p", "--port", help="serial port of the instrument, or a pyserial URL")
    where.add_argument("--sim", action="store_true", help="start kq2741-sim for the server's lifetime and serve it")
    parser.add_argument("--tango-port", type=_tcp_port, default=0, metavar="N",
                        help="TCP port clients connect to (default 0: a free one, printed)")
    parser.add_argument("--device", type=_device, default="kq2741/attenuator/1", metavar="NAME",
                        help="the device's name (default kq2741/attenuator/1)")
    parser.add_argument("--channels", type=_channels, default=(1, 2, 3, 4), metavar="LIST",
                        help="channels to serve: 1-4 (default), 1,3,5-8")
    parser.add_argument("--bind", type=_address, default="127.0.0.1", metavar="ADDRESS",
                        help="address to serve on (default 127.0.0.1: this machine only)")
    parser.add_argument("--timeout", type=_seconds, default=0.25, metavar="SECONDS",
                        help="bound of each exchange (default 0.25: silence shows as FAULT within a second)")
    parser.add_argument("--poll", type=_seconds, default=0.2, metavar="SECONDS",
                        help="seconds between two rounds of read-backs (default 0.2)")
    parser.add_argument("--verbose", action="store_true", help="log every frame and every failure on stderr")
    parser.add_argument("--version", action="version", version=f"kq2741-tango {version}")
    args = parser.parse_args(argv)
    return WithoutDatabase(port=args.port, sim=args.sim, tango_port=args.tango_port, device=args.device,
                           channels=args.channels, bind=args.bind, timeout=args.timeout, poll=args.poll,
                           verbose=args.verbose)
