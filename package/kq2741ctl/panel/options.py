"""The command line of kq2741-panel: which instrument, where to serve it, who may use it."""
from __future__ import annotations

import argparse
import ipaddress
import os
import re
import sys
from dataclasses import dataclass

# The IOC's reading of a channel list, so both programs take the same lists.
from kq2741ctl._program import OneLineParser, channel_list

USAGE = ("kq2741-panel (-p PORT | --sim) [--bind ADDR] [--http-port N] [--channels LIST] [--token TOKEN]\n"
         "             [--timeout SECONDS] [--verbose]")

DESCRIPTION = """\
Serves a KQ2741 attenuator as a live page: one process owns the serial port,
and every browser that opens the printed URL sees each channel's attenuation
and wavelength as the instrument reports them, and can set them.
"""

TOKEN_VARIABLE = "KQ2741_PANEL_TOKEN"

EPILOG = f"""\
security:
  On 127.0.0.1 (the default) the panel answers only to loopback names. With
  --bind elsewhere every request needs the token: a random one is made and
  printed once in the URL unless --token (or ${TOKEN_VARIABLE}) gives one.
  Writes must come from the panel's own page (the Origin is checked).

exit status:
  0  stopped by SIGINT, SIGTERM or SIGHUP
  1  an unexpected failure
  2  usage error, or Starlette/uvicorn missing (pip install "kq2741[panel]")
  4  the serial port cannot be opened: missing, no permission, or held by another program
  5  the HTTP address cannot be taken: port in use, or an address not on this machine
"""

# A token travels in URLs and headers as it is; shorter ones are guessed over the network.
_TOKEN = re.compile(r"[A-Za-z0-9._~-]{8,128}")


@dataclass(frozen=True)
class Options:
    port: str | None
    sim: bool
    bind: ipaddress.IPv4Address | ipaddress.IPv6Address
    http_port: int
    channels: tuple[int, ...]
    token: str | None
    timeout: float
    verbose: bool


def address(text: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address:
    try:
        return ipaddress.ip_address(text.strip("[]"))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not an IP address (127.0.0.1, ::1, 0.0.0.0 for every interface)") from None


def http_port(text: str) -> int:
    if not (text.isascii() and text.isdigit() and len(text) <= 5 and int(text) <= 65535):
        raise argparse.ArgumentTypeError(f"{text!r} is not a TCP port from 0 (any free one) to 65535")
    return int(text)


def token(text: str) -> str:
    if not _TOKEN.fullmatch(text):
        raise argparse.ArgumentTypeError("a token is 8 to 128 characters of A-Z, a-z, 0-9 and . _ ~ -")
    return text


def seconds(text: str) -> float:
    # The range is the Attenuator's to judge (program.py says what it refused).
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None


def parse(argv: list[str], version: str) -> Options:
    parser = OneLineParser(prog="kq2741-panel", usage=USAGE, description=DESCRIPTION, epilog=EPILOG,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("-p", "--port", help="serial port of the instrument, or a pyserial URL")
    where.add_argument("--sim", action="store_true", help="start kq2741-sim for the panel's lifetime and serve it")
    parser.add_argument("--bind", type=address, default=ipaddress.ip_address("127.0.0.1"), metavar="ADDR",
                        help="address to serve on (default 127.0.0.1; any other needs a token)")
    parser.add_argument("--http-port", type=http_port, default=8741, metavar="N",
                        help="TCP port to serve on (default 8741; 0 takes a free one)")
    parser.add_argument("--channels", type=channel_list, default=(1, 2, 3, 4), metavar="LIST",
                        help="channels to show: 1-4 (default), 1,3,5-8")
    parser.add_argument("--token", type=token, metavar="TOKEN",
                        help=f"require this token (default ${TOKEN_VARIABLE}; made up at random when "
                             "serving beyond loopback)")
    parser.add_argument("--timeout", type=seconds, default=0.25, metavar="SECONDS",
                        help="bound of each exchange (default 0.25: a silent instrument shows within a second)")
    parser.add_argument("--verbose", action="store_true", help="log every frame and every write on stderr")
    parser.add_argument("--version", action="version", version=f"kq2741-panel {version}")
    args = parser.parse_args(argv)
    if args.token is None and os.environ.get(TOKEN_VARIABLE):
        try:
            args.token = token(os.environ[TOKEN_VARIABLE])
        except argparse.ArgumentTypeError as error:
            parser.error(f"${TOKEN_VARIABLE}: {error}")
    return Options(port=args.port, sim=args.sim, bind=args.bind, http_port=args.http_port,
                   channels=args.channels, token=args.token, timeout=args.timeout, verbose=args.verbose)
