"""kq2741-tango from start to exit: options, the port, serving, stopping.

Tango's own signal handling ends the server on SIGINT and SIGTERM: it
deletes the device, whose owner releases the port, and run() returns.
SIGHUP is made a SIGTERM here.
"""
from __future__ import annotations

import contextlib
import logging
import os
import signal
import socket
import sys
import tempfile
import threading
from pathlib import Path
from typing import IO, Iterator, NoReturn

from kq2741ctl import Attenuator, NoAnswer
from kq2741ctl._extras import install_line

from . import options
from kq2741ctl._program import EXIT_FAILURE, EXIT_PORT, EXIT_USAGE, Exit, ranges, version

SERVER = "kq2741-tango"
TANGO_CLASS = "KQ2741"

log = logging.getLogger("kq2741ctl.tango")


def main(argv: list[str] | None = None) -> NoReturn:
    opts = options.parse(sys.argv[1:] if argv is None else argv, version())
    try:
        import tango  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        sys.stderr.write(f"kq2741-tango: PyTango is not installed: {install_line('tango')}\n")
        raise SystemExit(EXIT_USAGE) from None
    verbose = isinstance(opts, options.WithoutDatabase) and opts.verbose
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if verbose else logging.WARNING,
                        format="kq2741-tango [%(asctime)s] %(message)s" if verbose else "kq2741-tango: %(message)s")
    try:
        if isinstance(opts, options.WithDatabase):
            _reach_the_database(opts.instance)
            _serve([SERVER, opts.instance, *opts.tango_args])
        else:
            _serve_without_database(opts)
    except Exit as failure:
        sys.stderr.write(f"kq2741-tango: {failure}\n")
        raise SystemExit(failure.status) from None
    raise SystemExit(0)


def _end_on_sighup() -> None:
    """Tango keeps SIGHUP from Python and from its devices' handlers, so once
    it has set up its own, Python's handler takes SIGHUP back; the signal's
    number reaches a thread through the wake-up pipe, and that thread ends
    the server as SIGTERM does. From the main thread: Python's rule."""
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    signal.signal(signal.SIGHUP, lambda *_: None)
    signal.set_wakeup_fd(write_end)

    def watch() -> None:
        while signal.SIGHUP not in os.read(read_end, 64):
            pass
        os.kill(os.getpid(), signal.SIGTERM)

    threading.Thread(target=watch, name="kq2741-tango-sighup", daemon=True).start()


def _reach_the_database(instance: str) -> None:
    """Tango's own start ends the process (status 255) when the database is
    out of reach or does not know the server; this says so in one line, with
    a documented status."""
    import tango  # type: ignore[import-untyped]

    where = os.environ.get("TANGO_HOST", "(TANGO_HOST not set)")
    try:
        registered = list(tango.Database().get_device_class_list(f"{SERVER}/{instance}"))
    except tango.DevFailed as failure:
        raise Exit(EXIT_FAILURE, f"cannot reach the Tango database at {where}: "
                                 f"{failure.args[-1].desc.strip()}") from None
    except (TypeError, ValueError):  # an instance name that is no text
        raise Exit(EXIT_USAGE, f"{instance!r} is not an instance name") from None
    if TANGO_CLASS not in registered[1::2]:
        raise Exit(EXIT_USAGE, f"the Tango database at {where} has no device of class {TANGO_CLASS} in the server "
                               f"{SERVER}/{instance}: register one (kq2741-tango --help)")


def _serve(args: list[str], announce=None) -> None:
    import tango  # type: ignore[import-untyped]
    from tango.server import run  # type: ignore[import-untyped]

    from .device import KQ2741

    def serving() -> None:
        _end_on_sighup()
        if announce is not None:
            announce()

    try:
        run((KQ2741,), args=args, post_init_callback=serving, raises=True)
    except tango.DevFailed as failure:
        raise Exit(EXIT_FAILURE, failure.args[0].desc.strip().replace("\n", " ")) from None
    except RuntimeError as failure:  # what omniORB's failures become on their way through PyTango
        raise Exit(EXIT_FAILURE, f"Tango could not start: {failure}") from None


def _look_before_serving(port: str, opts: options.WithoutDatabase) -> None:
    """A missing or busy port ends the program, and so does a channel that
    is silent while the instrument answers (a wrong --channels). A silent
    instrument does not: it is served as FAULT until it answers."""
    try:
        att = Attenuator(port, timeout=opts.timeout)
    except ValueError as error:
        raise Exit(EXIT_USAGE, f"--timeout: {error}") from None
    try:
        att.open()
    except OSError as error:
        raise Exit(EXIT_PORT, str(error)) from None  # pyserial's and PortBusy's words name the port
    try:
        att.version
        for n in opts.channels:
            try:
                att.channel(n).status()
            except NoAnswer:
                raise Exit(EXIT_USAGE, f"channel {n} does not answer on {port}, though the instrument does: "
                                       f"check --channels {ranges(opts.channels)}") from None
    except OSError as error:
        log.warning("the instrument does not answer yet: %s", error)
    finally:
        att.close()


def _take_tcp_port(opts: options.WithoutDatabase) -> None:
    """A taken --tango-port ends the program in one line, where omniORB
    would print two and PyTango raise an exception that says nothing."""
    if opts.tango_port == 0:
        return
    with socket.socket() as probe:
        try:
            probe.bind((opts.bind, opts.tango_port))
        except OSError as error:
            raise Exit(EXIT_PORT, f"cannot serve on {opts.bind}:{opts.tango_port}: {error.strerror}") from None


def _file_database(folder: str, opts: options.WithoutDatabase, port: str) -> str:
    """Tango's database in a file, holding the one device and its properties,
    so both ways of starting configure the device alike."""
    import tango  # type: ignore[import-untyped]

    path = str(Path(folder) / "kq2741-tango.db")
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"{SERVER}/nodb/DEVICE/{TANGO_CLASS}: {opts.device}\n")
    tango.Database(path).put_device_property(opts.device, {
        "Port": [port],
        "Channels": [ranges(opts.channels)],
        "Timeout": [repr(opts.timeout)],
        "PollPeriod": [repr(opts.poll)],
    })
    return path


@contextlib.contextmanager
def _stdout_for_the_url() -> Iterator[IO[str]]:
    """Tango prints on stdout, where this program writes one line: the rest
    goes to stderr."""
    sys.stdout.flush()
    kept = os.dup(1)
    os.dup2(2, 1)
    try:
        with os.fdopen(os.dup(kept), "w") as out:
            yield out
    finally:
        os.dup2(kept, 1)
        os.close(kept)


def _serve_without_database(opts: options.WithoutDatabase) -> None:
    from kq2741ctl._simprocess import started_or_given

    _take_tcp_port(opts)
    sim = None
    try:
        sim, port = started_or_given(opts.sim, opts.port, opts.channels)
        _look_before_serving(port, opts)
        with tempfile.TemporaryDirectory(prefix="kq2741-tango-") as folder, _stdout_for_the_url() as out:
            database = _file_database(folder, opts, port)

            def announce() -> None:
                from tango.test_context import get_server_host_port  # type: ignore[import-untyped]

                host, tcp = get_server_host_port()
                out.write(f"tango://{opts.bind if opts.bind != '0.0.0.0' else host}:{tcp}/{opts.device}#dbase=no\n")
                out.flush()

            _serve([SERVER, "nodb", "-ORBendPoint", f"giop:tcp:{opts.bind}:{opts.tango_port}", f"-file={database}"],
                   announce)
    finally:
        if sim is not None:
            sim.stop()
