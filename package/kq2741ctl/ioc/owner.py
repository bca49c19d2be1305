"""The port worker: the one thread that talks to the instrument.

A put hands its work to the worker and returns: the server thread that took
it is free at once, and no get or monitor ever waits for the instrument
(the record stays active, and the client's put-callback pending, until the
worker completes it). The worker runs one put at a time, in the order they
came, before any poll; between puts it refreshes the read-backs one channel
at a time every --poll seconds, asks again now and then after channels that
stopped answering, and once the instrument is lost, tries to get it back.
Everything that changes records from outside a client's put happens on this
thread, so what it shows is in the order the instrument said it.
"""
from __future__ import annotations

import logging
import queue
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Protocol

import serial
from softioc import alarm  # type: ignore[import-untyped]

from kq2741ctl import Refused, Status

from .instrument import ChannelState, InstrumentState, read_channel, read_instrument
from .link import Failed, Link, Lost, Silent, Stopping
from .recordio import complete

log = logging.getLogger("kq2741ctl.ioc")

RECHECK = 5.0  # seconds between looks at a channel that stopped answering
NOT_ANSWERING = "the instrument does not answer"


class Unfit(ValueError):
    """A value the IOC does not send: why, at length for the log and short
    for the record's alarm message (AMSG holds 39 bytes)."""

    def __init__(self, why: str, short: str):
        super().__init__(why)
        self.short = short


class View(Protocol):
    """What the worker shows; the records implement it."""

    def show_status(self, channel: int, status: Status, rewrite: bool) -> None: ...

    def channel_failed(self, channel: int, message: str) -> None: ...

    def channel_silent(self, channel: int, message: str) -> None: ...

    def channel_back(self, channel: int, state: ChannelState) -> None: ...

    def lost(self, message: str) -> None: ...

    def recovered(self, state: InstrumentState) -> None: ...

    def restore_unprocessed(self) -> None: ...


@dataclass
class Put:
    """A client's put, handed to the worker. work makes the exchanges and
    returns the value the record shows when done; kept is what it shows
    when the put fails (given the value put); waiting takes a put that came
    in meanwhile."""

    record: Any
    channel: int | None
    value: Any
    work: Callable[[Link], Any]
    kept: Callable[[Any], Any]
    waiting: Callable[[Any], None]


class PortOwner:
    def __init__(self, link: Link, channels: tuple[int, ...], poll: float, state: InstrumentState | None):
        self.link = link
        self.channels = channels
        self.poll = poll
        # Read by the records' validators, in the server threads.
        self.connected = state is not None
        self.silent: set[int] = set(state.silent()) if state else set()
        self.view: View | None = None
        self._puts: queue.SimpleQueue = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._run, name="kq2741-port", daemon=True)
        self._next_recheck = time.monotonic() + RECHECK

    def start(self, view: View) -> None:
        self.view = view
        self._thread.start()

    def submit(self, put: Put) -> None:
        self._puts.put(put)

    def stop(self, timeout: float) -> bool:
        """Asks the worker to end after its exchange; True when it has ended."""
        self.link.stopping.set()
        self._puts.put(None)
        if self._thread.ident is not None:
            self._thread.join(timeout)
        return not self._thread.is_alive()

    # --- the worker -----------------------------------------------------------

    def _run(self) -> None:
        assert self.view is not None
        next_round = time.monotonic() + self.poll
        due: list[int] = []  # channels still to read in this round
        while not self.link.stopping.is_set():
            try:
                wait = 0.0 if due else max(0.0, next_round - time.monotonic())
                try:
                    put = self._puts.get(timeout=wait) if wait > 0 else self._puts.get_nowait()
                except queue.Empty:
                    put = None
                    if not due:
                        next_round = max(next_round + self.poll, time.monotonic())
                        if self.connected:
                            self.view.restore_unprocessed()
                            due = [n for n in reversed(self.channels) if n not in self.silent]
                            self._recheck()
                        else:
                            self._recover()
                        continue
                if put is not None:
                    self._put(put)
                elif due and self.connected:
                    self._refresh(due.pop())
                else:
                    due.clear()
            except Stopping:
                return
            except Exception:
                # The one thread that talks to the instrument must outlive a
                # fault of its own; the log says what it was.
                log.exception("the port worker met an unexpected error")
                self.link.stopping.wait(self.poll)

    def _put(self, put: Put) -> None:
        # (severity, status, the record's short message, the log's long one)
        failure: tuple[int, int, str, str] | None = None
        shown = None
        if not self.connected:
            failure = alarm.INVALID_ALARM, alarm.COMM_ALARM, NOT_ANSWERING, NOT_ANSWERING
        elif put.channel in self.silent:
            why = f"channel {put.channel} does not answer"
            failure = alarm.INVALID_ALARM, alarm.COMM_ALARM, why, why
        else:
            try:
                shown = put.work(self.link)
            except Unfit as error:
                failure = alarm.MAJOR_ALARM, alarm.WRITE_ALARM, error.short, str(error)
            except Refused as error:
                failure = alarm.MAJOR_ALARM, alarm.WRITE_ALARM, "the instrument refused it", f"refused: {error}"
            except (ValueError, TypeError) as error:  # the Attenuator's own check, before sending
                failure = alarm.MAJOR_ALARM, alarm.WRITE_ALARM, "not a value to send", str(error)
            except Failed as error:
                failure = alarm.INVALID_ALARM, alarm.COMM_ALARM, "garbled answers", f"garbled answers: {error}"
            except Silent as error:
                self._silence(error)
                failure = alarm.INVALID_ALARM, alarm.COMM_ALARM, f"channel {error.channel} does not answer", str(error)
            except Lost as error:
                self._lose(error)
                failure = alarm.INVALID_ALARM, alarm.COMM_ALARM, NOT_ANSWERING, NOT_ANSWERING
        if failure is None:
            complete(put.record, shown, waiting=put.waiting)
            return
        severity, status, message, detail = failure
        log.warning("put to %s failed: %s", put.record.name, detail)
        complete(put.record, put.kept(put.value), severity, status, message, put.waiting)

    def _refresh(self, n: int) -> None:
        assert self.view is not None
        try:
            status = self.link.call(lambda att: att.channel(n).status(), channel=n)
        except Failed as error:
            log.warning("channel %d: garbled answers: %s", n, error)
            self.view.channel_failed(n, f"garbled answers: {error}")
        except Silent as error:
            self._silence(error)
        except Lost as error:
            self._lose(error)
        except (serial.SerialException, OSError) as error:  # refused a status request
            log.warning("channel %d: %s", n, error)
            self.view.channel_failed(n, str(error))
        else:
            self.view.show_status(n, status, rewrite=True)

    def _silence(self, error: Silent) -> None:
        assert self.view is not None
        if error.channel not in self.silent:
            self.silent.add(error.channel)
            log.error("%s: its PVs are INVALID until it does", error)
            self.view.channel_silent(error.channel, f"channel {error.channel} does not answer")

    def _recheck(self) -> None:
        """One look at each silent channel now and then: a try costs the time-out."""
        assert self.view is not None
        if not self.silent or time.monotonic() < self._next_recheck:
            return
        self._next_recheck = time.monotonic() + RECHECK
        for n in sorted(self.silent):
            try:
                state = read_channel(self.link, n)
            except (Silent, Failed, serial.SerialException, OSError):
                continue
            except Lost as error:
                self._lose(error)
                return
            self.silent.discard(n)
            log.warning("channel %d answers again", n)
            self.view.channel_back(n, state)

    def _lose(self, error: Lost) -> None:
        assert self.view is not None
        if not self.connected:
            return
        # The records first: CONNECTED_RBV says 0 before any put is refused for it.
        self.view.lost(NOT_ANSWERING)
        self.connected = False
        log.error("lost the instrument: %s", error)

    def _recover(self) -> None:
        assert self.view is not None
        if not self.link.answers():
            return
        try:
            state = read_instrument(self.link, self.channels)
        except (Lost, Failed, serial.SerialException, OSError) as error:
            log.warning("the instrument answers, but not yet fully: %s", error)
            return
        self.silent = set(state.silent())
        self.connected = True
        self.view.recovered(state)
        log.warning("the instrument answers again on %s", self.link.att.port)
