"""kq2741-ioc from start to exit: options, the port, the records, serving, stopping."""
from __future__ import annotations

import contextlib
import ctypes
import logging
import os
import re
import signal
import sys
import tempfile
import threading
import time
import traceback
from typing import NoReturn

import serial

from kq2741ctl import Attenuator

from .._program import EXIT_FAILURE, EXIT_PORT, EXIT_USAGE, Exit, ranges, version
from . import logs, options

# After a stop signal the port worker may be inside an exchange (up to
# --timeout); the program does not wait for it longer than this.
STOP_GRACE = 0.5

log = logging.getLogger("kq2741ctl.ioc")


class StopFlag:
    """Set by a signal handler, read by the main thread.

    Not a threading.Event: its set() takes a lock that the main thread holds
    for a moment inside every wait(), and a handler that runs in that moment
    (in the main thread) would wait for it for ever."""

    def __init__(self) -> None:
        self._set = False

    def set(self) -> None:
        self._set = True

    def is_set(self) -> bool:
        return self._set

    def wait(self, timeout: float) -> bool:
        end = time.monotonic() + timeout
        while not self._set and time.monotonic() < end:
            time.sleep(0.05)  # a signal ends the sleep early; its handler has run by then
        return self._set


def _standard_streams() -> None:
    """A closed stdin, stdout or stderr becomes /dev/null: the next file
    opened (the serial port, a socket) must never take its number, where
    EPICS or a log line would write to it."""
    for fd, name, mode in ((0, "stdin", "r"), (1, "stdout", "w"), (2, "stderr", "w")):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
            setattr(sys, name, open(fd, mode, closefd=False))


def main(argv: list[str] | None = None) -> NoReturn:
    _standard_streams()
    # First of all: a stop signal during the imports and the start-up that
    # follow ends the program with 0 at the next point that looks.
    stop = StopFlag()
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: stop.set())
    opts = options.parse(sys.argv[1:] if argv is None else argv, version())
    if opts.screens is not None:
        _write_screens(opts)
    try:
        import softioc  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        sys.stderr.write('kq2741-ioc: softioc is not installed: pip install "kq2741[ioc]"\n')
        raise SystemExit(EXIT_USAGE) from None
    logs.setup(opts.verbose)
    _listen(opts.listen)
    try:
        _serve(opts, stop)  # leaves through epicsExit
    except Exit as failure:
        _say(f"kq2741-ioc: {failure}\n")
        raise SystemExit(failure.status) from None


def _write_screens(opts: options.Options) -> NoReturn:
    """--screens DIR: the screens for this prefix and these channels, then exit."""
    from pathlib import Path

    from . import screens

    assert opts.screens is not None
    try:
        written = screens.write(Path(opts.screens), opts.prefix, opts.channels, macro=True)
    except OSError as error:
        _say(f"kq2741-ioc: --screens {opts.screens}: {error.strerror or error}\n")
        raise SystemExit(EXIT_USAGE) from None
    for path in written:
        _announce(f"{path}\n")
    raise SystemExit(0)


LOOPBACK = "127.0.0.1"


def _listen(addresses: tuple[str, ...] | None) -> None:
    """Where the servers listen: --listen, else the EPICS variables a site
    set, else the loopback only (and beacons only there), so an IOC started
    without a word is not open to the network."""
    for server in ("CAS", "PVAS"):
        interfaces = f"EPICS_{server}_INTF_ADDR_LIST"
        if addresses is not None:
            os.environ[interfaces] = " ".join(addresses)
        elif interfaces not in os.environ:
            os.environ[interfaces] = LOOPBACK
            os.environ.setdefault(f"EPICS_{server}_BEACON_ADDR_LIST", LOOPBACK)
            os.environ.setdefault(f"EPICS_{server}_AUTO_BEACON_ADDR_LIST", "NO")


def _say(text: str) -> None:
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def _first_look(link, opts: options.Options, stop: StopFlag):
    """The instrument's state (None while it does not answer: the IOC then
    serves INVALID read-backs and keeps trying), read on a thread of its own
    so that a stop signal ends the program at once, whatever the time-out."""
    from .instrument import read_instrument
    from .link import Failed, Lost, Stopping

    found: list = []
    done = threading.Event()

    def look() -> None:
        try:
            found.append(read_instrument(link, opts.channels))
        except (Lost, Failed, Stopping, serial.SerialException, OSError) as error:
            log.warning("the instrument does not answer yet: %s", error)
            found.append(None)
        except BaseException:
            log.exception("the first look at the instrument failed")
            found.append(None)
        finally:
            done.set()

    threading.Thread(target=look, name="kq2741-first-look", daemon=True).start()
    while not done.is_set() and not stop.is_set():
        time.sleep(0.02)
    if not found:
        return _leave(0)
    state = found[0]
    if state is not None and state.silent():
        log.error("channels %s do not answer, though the instrument does: their PVs are INVALID until they do",
                  ranges(tuple(state.silent())))
    return state


def _leave(status: int) -> NoReturn:
    """Ends the program before EPICS runs, without waiting for an exchange
    under way (the port worker's thread would hold the Attenuator)."""
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(OSError, ValueError, AttributeError):
            stream.flush()
    os._exit(status)


@contextlib.contextmanager
def _epics_output():
    """EPICS prints its banner on stdout, where this program writes one
    line, and its complaints through its own log. Both are held back
    meanwhile and given to stderr afterwards, unless the block fails: a
    start-up failure is one line of the program's own. Yields the list the
    first line EPICS flagged as an error goes into."""
    from epicscorelibs.ioc import Com  # type: ignore[import-untyped]

    flush_log = Com.errlogFlush
    flush_log.argtypes, flush_log.restype = (), None
    sys.stdout.flush()
    saved = os.dup(1), os.dup(2)
    errors: list[str] = []
    with tempfile.TemporaryFile() as held:
        os.dup2(held.fileno(), 1)
        os.dup2(held.fileno(), 2)
        try:
            yield errors
        finally:
            flush_log()
            ctypes.CDLL(None).fflush(None)
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            for fd in saved:
                os.close(fd)
            held.seek(0)
            text = held.read().decode(errors="replace")
            errors += [line.strip() for line in text.splitlines() if "ERROR" in line]
            if not errors:
                _say(text)


def _announce(text: str) -> None:
    """The one line on stdout. A reader gone (a broken pipe) costs the line,
    not the IOC: the line is said on stderr instead and stdout goes to /dev/null."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except (OSError, ValueError) as error:
        log.warning("stdout: %s; %s", error.strerror if isinstance(error, OSError) else error, text.strip())
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
        sys.stdout = open(1, "w", closefd=False)


def _serve(opts: options.Options, stop: StopFlag) -> NoReturn:
    from softioc import builder, softioc  # type: ignore[import-untyped]

    from . import access
    from .link import Link
    from .owner import NOT_ANSWERING, PortOwner
    from .records import InstrumentRecords, dispatch
    from .._simprocess import started_or_given

    sim = att = owner = None
    serving = False
    status = EXIT_FAILURE
    try:
        try:
            acf = access.use(opts.acf)
        except access.Unreadable as error:
            raise Exit(EXIT_USAGE, f"--acf {error}" if opts.acf else str(error)) from None
        sim, port = started_or_given(opts.sim, opts.port, opts.channels)
        # reconnect: after a loss the next call opens the port again by its
        # name, so the worker only has to keep asking.
        att = Attenuator(port, timeout=opts.timeout, reconnect=True)
        try:
            att.open()
        except ValueError as error:  # pyserial's word on a URL it does not know
            raise Exit(EXIT_USAGE, f"--port {port!r}: {error}") from None
        except (serial.SerialException, OSError) as error:
            raise Exit(EXIT_PORT, str(error)) from None  # pyserial's and PortBusy's words name the port
        link = Link(att, threading.Event())
        state = _first_look(link, opts, stop)

        owner = PortOwner(link, opts.channels, opts.poll, state)
        records = InstrumentRecords(opts.prefix, opts.channels, owner)
        with _epics_output() as complaints:
            builder.LoadDatabase()
            softioc.iocInit(dispatch)
        if not access.active():
            why = re.sub(r"\x1b\[[0-9;]*m", "", complaints[0]) if complaints else "EPICS cannot read it"
            raise Exit(EXIT_USAGE, f"{'--acf ' if opts.acf else ''}{acf}: {why}")
        serving = True
        if state is None:
            records.lost(NOT_ANSWERING)
        else:
            records.recovered(state)
        owner.start(records)
        _announce(f"kq2741-ioc: serving {opts.prefix}CH{ranges(opts.channels)} of {port} "
                  "over Channel Access and PV Access\n")
        while not stop.wait(1.0):
            pass
        status = 0
    except BaseException:
        if serving:
            with contextlib.suppress(OSError, ValueError):
                traceback.print_exc()
        raise
    finally:
        # The worker ends after its exchange; one still under way when the
        # grace is over ends with the process, which releases the port.
        idle = owner.stop(STOP_GRACE) if owner is not None else True
        if att is not None and idle:
            att.close()
        if sim is not None:
            sim.stop()
        if serving:
            # Once the IOC runs, epicsExit ends it: its threads call into
            # Python until EPICS has stopped them.
            for stream in (sys.stdout, sys.stderr):
                with contextlib.suppress(OSError, ValueError):
                    stream.flush()
            softioc.safeEpicsExit(status)
    raise AssertionError("not reached")
