"""kq2741-ioc from start to exit: options, the port, the records, serving, stopping."""
from __future__ import annotations

import contextlib
import ctypes
import logging
import os
import signal
import sys
import threading
import traceback
from importlib import metadata
from typing import NoReturn

import serial

from kq2741ctl import Attenuator, NoAnswer

from . import options

EXIT_FAILURE, EXIT_USAGE, EXIT_PORT = 1, 2, 4

log = logging.getLogger("kq2741ctl.ioc")


class Exit(Exception):
    """Ends the program with one line on stderr and an exit status."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


def _version() -> str:
    try:
        return metadata.version("kq2741")
    except metadata.PackageNotFoundError:
        return "unknown"


def main(argv: list[str] | None = None) -> NoReturn:
    opts = options.parse(sys.argv[1:] if argv is None else argv, _version())
    try:
        import softioc  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        sys.stderr.write('kq2741-ioc: softioc is not installed: pip install "kq2741[ioc]"\n')
        raise SystemExit(EXIT_USAGE) from None
    # --verbose stamps each line, as kq2741ctl --verbose does, to follow frames in time.
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if opts.verbose else logging.WARNING,
                        format="kq2741-ioc [%(asctime)s] %(message)s" if opts.verbose else "kq2741-ioc: %(message)s")
    try:
        _serve(opts)  # leaves through epicsExit
    except Exit as failure:
        sys.stderr.write(f"kq2741-ioc: {failure}\n")
        raise SystemExit(failure.status) from None


def _ranges(channels: tuple[int, ...]) -> str:
    parts, start = [], channels[0]
    for prev, n in zip(channels, channels[1:] + (-1,)):
        if n != prev + 1:
            parts.append(str(start) if start == prev else f"{start}-{prev}")
            start = n
    return ",".join(parts)


def _first_look(att: Attenuator, opts: options.Options):
    """The instrument's state, or None while it does not answer (the IOC then
    serves INVALID read-backs and keeps trying)."""
    from .instrument import read_channel, read_instrument

    try:
        return read_instrument(att, opts.channels)
    except (serial.SerialException, OSError) as error:
        failure = error
    if isinstance(failure, NoAnswer):
        try:
            att.version
        except (serial.SerialException, OSError):
            pass
        else:  # the instrument is there, one of its channels is not
            for n in opts.channels:
                try:
                    read_channel(att, n)
                except NoAnswer:
                    raise Exit(EXIT_USAGE, f"channel {n} does not answer on {att.port}, though the instrument "
                                           f"does: check --channels {_ranges(opts.channels)}") from None
                except (serial.SerialException, OSError):
                    break
    log.warning("the instrument does not answer yet: %s", failure)
    return None


@contextlib.contextmanager
def _stdout_to_stderr():
    """EPICS prints its banner on stdout, where this program writes one line."""
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        yield
    finally:
        ctypes.CDLL(None).fflush(None)
        os.dup2(saved, 1)
        os.close(saved)


def _serve(opts: options.Options) -> NoReturn:
    from softioc import builder, softioc  # type: ignore[import-untyped]

    from .owner import PortOwner, run_now
    from .records import InstrumentRecords
    from .simulator import Simulator

    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())

    sim = att = None
    serving = False
    status = EXIT_FAILURE
    try:
        if opts.sim:
            try:
                sim = Simulator(max(opts.channels))
            except OSError as error:
                raise Exit(EXIT_PORT, str(error)) from None
        port = sim.port if sim else opts.port
        assert port is not None
        att = Attenuator(port, timeout=opts.timeout)
        try:
            att.open()
        except (serial.SerialException, OSError) as error:
            raise Exit(EXIT_PORT, str(error)) from None  # pyserial's and PortBusy's words name the port
        state = _first_look(att, opts)

        owner = PortOwner(att, opts.channels, opts.poll, connected=state is not None)
        records = InstrumentRecords(opts.prefix, opts.channels, owner, state)
        with _stdout_to_stderr():
            builder.LoadDatabase()
            softioc.iocInit(run_now)
        serving = True
        owner.start(records)
        print(f"kq2741-ioc: serving {opts.prefix}CH{_ranges(opts.channels)} of {port} "
              "over Channel Access and PV Access", flush=True)
        while not stop.wait(1.0):
            pass
        owner.stop(timeout=2.0)
        status = 0
    except BaseException:
        if serving:
            traceback.print_exc()
        raise
    finally:
        if att is not None:
            att.close()
        if sim is not None:
            sim.stop()
        if serving:
            # Once the IOC runs, epicsExit ends it: its threads call into
            # Python until EPICS has stopped them.
            sys.stdout.flush()
            sys.stderr.flush()
            softioc.safeEpicsExit(status)
    raise AssertionError("not reached")
