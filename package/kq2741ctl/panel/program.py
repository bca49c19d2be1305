"""kq2741-panel from start to exit: options, the port, the first look, serving, stopping."""
from __future__ import annotations

import asyncio
import ipaddress
import logging
import secrets
import signal
import socket
import sys
from typing import TYPE_CHECKING, NoReturn

import serial

from kq2741ctl import Attenuator, NoAnswer
from kq2741ctl._extras import install_line
from kq2741ctl._program import EXIT_FAILURE, EXIT_PORT, EXIT_USAGE, Exit, version

from . import options

if TYPE_CHECKING:
    from .instrument import Instrument

EXIT_HTTP = 5
START_TIMEOUT = 5.0  # seconds for the HTTP server to come up on a socket already listening

# The only addresses served without a token: this machine's own loopback.
OPEN_ADDRESSES = (ipaddress.ip_address("127.0.0.1"), ipaddress.ip_address("::1"))


log = logging.getLogger("kq2741ctl.panel")


def main(argv: list[str] | None = None) -> NoReturn:
    opts = options.parse(sys.argv[1:] if argv is None else argv, version())
    try:
        import starlette  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError:
        sys.stderr.write(f"kq2741-panel: Starlette and uvicorn are not installed: {install_line('panel')}\n")
        raise SystemExit(EXIT_USAGE) from None
    # --verbose stamps each line, as kq2741ctl --verbose does, to follow frames and writes in time;
    # the libraries' own debugging (every WebSocket frame) stays out.
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING,
                        format="kq2741-panel [%(asctime)s] %(message)s" if opts.verbose else "kq2741-panel: %(message)s")
    logging.getLogger("kq2741ctl").setLevel(logging.DEBUG if opts.verbose else logging.WARNING)
    logging.getLogger("uvicorn.error").setLevel(logging.ERROR)  # its start and stop notes
    try:
        asyncio.run(_serve(opts))
    except Exit as failure:
        sys.stderr.write(f"kq2741-panel: {failure}\n")
        raise SystemExit(failure.status) from None
    raise SystemExit(0)


def _listen(address: ipaddress.IPv4Address | ipaddress.IPv6Address, port: int) -> socket.socket:
    """The listening socket, taken before anything else: a port in use is said at once."""
    family = socket.AF_INET6 if address.version == 6 else socket.AF_INET
    try:
        return socket.create_server((str(address), port), family=family, reuse_port=False, backlog=128)
    except OSError as error:
        raise Exit(EXIT_HTTP, f"cannot serve on {address} port {port}: {error.strerror or error}") from None


def _url(sock: socket.socket, address: ipaddress.IPv4Address | ipaddress.IPv6Address, token: str | None) -> str:
    host = socket.gethostname() if address.is_unspecified else str(address)
    if ":" in host:
        host = f"[{host}]"
    return f"http://{host}:{sock.getsockname()[1]}/" + (f"?token={token}" if token else "")


async def _first_look(instrument: Instrument, port: str, channels: tuple[int, ...]) -> None:
    failure = await instrument.first_look()
    if failure is None:
        return
    if isinstance(failure, NoAnswer):
        n = await instrument.silent_channel()
        if n is not None:
            ranges = ",".join(map(str, channels))
            raise Exit(EXIT_USAGE, f"channel {n} does not answer on {port}, though the instrument does: "
                                   f"check --channels {ranges}")
    log.warning("the instrument does not answer yet: %s", failure)


async def _serve(opts: options.Options) -> None:
    from kq2741ctl._simprocess import started_or_given

    from .app import Server, build
    from .hub import Hub
    from .instrument import Instrument
    from .security import Guard

    token = opts.token
    if token is None and opts.bind not in OPEN_ADDRESSES:
        token = secrets.token_urlsafe(24)

    loop = asyncio.get_running_loop()
    stopping = asyncio.Event()
    server = None

    def stop() -> None:
        stopping.set()
        if server is not None:
            server.should_exit = True

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        loop.add_signal_handler(sig, stop)

    sock = _listen(opts.bind, opts.http_port)
    sim = att = instrument = hub = None
    try:
        sim, port = started_or_given(opts.sim, opts.port, opts.channels)
        try:
            att = Attenuator(port, timeout=opts.timeout)
        except (ValueError, TypeError) as error:
            raise Exit(EXIT_USAGE, f"--timeout: {error}") from None
        try:
            att.open()
        except (serial.SerialException, OSError) as error:
            raise Exit(EXIT_PORT, str(error)) from None  # pyserial's and PortBusy's words name the port
        hub = Hub()
        instrument = Instrument(att, opts.channels, hub)
        await _first_look(instrument, port, opts.channels)
        if stopping.is_set():
            return
        instrument.start()

        server = Server(build(instrument, hub, Guard(token)))
        if stopping.is_set():
            return
        serving = loop.create_task(server.serve(sockets=[sock]))
        deadline = loop.time() + START_TIMEOUT
        while not server.started and not serving.done() and loop.time() < deadline:
            await asyncio.sleep(0.005)
        if not server.started:
            server.should_exit = True
            await serving  # raises what stopped it, if anything did
            raise Exit(EXIT_FAILURE, f"the HTTP server did not start within {START_TIMEOUT:g} s")
        print(_url(sock, opts.bind, token), flush=True)
        stopped = loop.create_task(stopping.wait())
        await asyncio.wait({serving, stopped}, return_when=asyncio.FIRST_COMPLETED)
        # The pages' streams end first: the server waits for open connections.
        hub.close()
        await serving
        stopped.cancel()
    finally:
        if hub is not None:
            hub.close()
        if instrument is not None:
            await instrument.stop()
        if att is not None:
            att.close()
        if sim is not None:
            sim.stop()
        sock.close()
