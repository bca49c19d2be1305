"""The port owner: the Attenuator, its poller, and what a put does with them.

A put's handler runs where the record processes it (softioc's dispatcher is
run_now), in the server thread of the client that wrote, saving a hand-over
to another thread on every put. One lock, the port's, serialises the puts of
every client with each other and with the poller, from the request to the
read-back shown, so each put completes with its own read-back; it is waited
for, like each exchange, with the GIL released. The records are blocking, so
the put-callback completes only after the read-back records took the values.

The poller thread refreshes the read-backs one channel at a time between
puts, and while the instrument is silent or its port gone it tries to
reconnect. Everything that touches other records' fields from outside their
processing (the loss of the instrument, a reconnection) happens on this one
thread: a server thread holding its record's lock must not wait for another's.
"""
from __future__ import annotations

import logging
import queue
import threading
import time
from typing import Callable, Protocol

import serial
from softioc import alarm  # type: ignore[import-untyped]

from kq2741ctl import Attenuator, InstrumentError, NoAnswer, Status

from .instrument import InstrumentState, read_instrument
from .recordio import raise_alarm


class ChannelView(Protocol):
    """What the owner shows of one channel (the records implement it)."""

    number: int

    def show(self, status: Status) -> None: ...


class InstrumentView(Protocol):
    """What the owner shows of the instrument (the records implement it)."""

    @property
    def channels(self) -> dict[int, ChannelView]: ...

    def show(self, state: InstrumentState, align: bool) -> None: ...

    def lost(self) -> None: ...

log = logging.getLogger("kq2741ctl.ioc")

_STOP, _LOST = object(), object()


def run_now(func: Callable, func_args=(), completion: Callable | None = None, completion_args=()) -> None:
    """softioc's dispatcher: the handler at once, then the completion of the put."""
    try:
        func(*func_args)
    except Exception:
        log.exception("a put's handler failed")
    finally:
        if completion is not None:
            completion(*completion_args)


def lost_contact(error: BaseException) -> bool:
    """True when the instrument is silent or the port failed; False when the
    instrument answered but refused or garbled (it is still there)."""
    if isinstance(error, NoAnswer):
        return True
    return isinstance(error, (serial.SerialException, OSError)) and not isinstance(error, InstrumentError)


class PortOwner:
    def __init__(self, att: Attenuator, channels: tuple[int, ...], poll: float, connected: bool):
        self.att = att
        self.channels = channels
        self.poll = poll
        self.connected = connected  # read by the records' validators
        self.records: InstrumentView | None = None
        self._port = threading.Lock()  # one exchange and what it shows at a time
        self._events: queue.SimpleQueue = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._run, name="kq2741-poller", daemon=True)
        self._last_failure = ""

    def start(self, records: InstrumentView) -> None:
        self.records = records
        self._thread.start()

    def stop(self, timeout: float) -> None:
        """The poller ends after the exchange it is in."""
        self._events.put(_STOP)
        self._thread.join(timeout)

    # --- puts, in the server's threads ------------------------------------

    def act(self, record, operation: Callable[[Attenuator], None], channel: ChannelView | None) -> None:
        """One put: the operation, then the channel's read-back. A failure puts
        the record into alarm until its next good put: INVALID when the
        instrument is silent, MAJOR when it refused."""
        if log.isEnabledFor(logging.DEBUG):
            log.debug("%s: put %s", record.name, record.get())
        with self._port:
            if not (self.connected and self.att.is_open):
                raise_alarm(record, alarm.INVALID_ALARM, alarm.COMM_ALARM)
                return
            try:
                operation(self.att)
            except (serial.SerialException, OSError, ValueError) as error:
                log.warning("put to %s failed: %s", record.name, error)
                if lost_contact(error):
                    raise_alarm(record, alarm.INVALID_ALARM, alarm.COMM_ALARM)
                    self._lose(error)
                    return
                raise_alarm(record, alarm.MAJOR_ALARM, alarm.WRITE_ALARM)
            if channel is not None:
                self._refresh(channel)

    def _refresh(self, channel: ChannelView) -> None:
        # With the port's lock held: a later status is never overwritten by an earlier one.
        try:
            status = self.att.channel(channel.number).status()
        except (serial.SerialException, OSError) as error:
            self._lose(error)
            return
        channel.show(status)

    def _lose(self, error: BaseException) -> None:
        # With the port's lock held; the records hear of it on the poller.
        if not isinstance(error, InstrumentError):
            # The port itself failed (adapter pulled, simulator gone): opened
            # again by name when it comes back.
            self.att.close()
        if self.connected:
            self.connected = False  # puts are refused from now on
            log.error("lost the instrument: %s", error)
            self._events.put(_LOST)

    # --- the poller ---------------------------------------------------------

    def _run(self) -> None:
        assert self.records is not None
        next_round = time.monotonic() + self.poll
        due: list[ChannelView] = []  # channels still to read in this round
        while True:
            wait = 0.0 if due else max(0.0, next_round - time.monotonic())
            try:
                event = self._events.get(timeout=wait) if wait > 0 else self._events.get_nowait()
            except queue.Empty:
                event = None
            if event is _STOP:
                return
            if event is _LOST:
                due.clear()
                self.records.lost()
            elif due:
                if self.connected:
                    with self._port:
                        self._refresh(due.pop())
                else:  # lost halfway through the round: the rest would only time out
                    due.clear()
            else:
                next_round = max(next_round + self.poll, time.monotonic())
                if self.connected:
                    due = list(reversed(self.records.channels.values()))
                else:
                    self._reconnect()

    def _reconnect(self) -> None:
        assert self.records is not None
        try:
            with self._port:
                if not self.att.is_open:
                    self.att.open()
                state = read_instrument(self.att, self.channels)
        except (serial.SerialException, OSError) as error:
            if not isinstance(error, InstrumentError):
                self.att.close()  # a port that failed is opened afresh next time
            if str(error) != self._last_failure:  # once per reason, not twice a second
                self._last_failure = str(error)
                log.warning("still no instrument: %s", error)
            return
        self._last_failure = ""
        # Without the port's lock: this takes records' locks, which a server
        # thread may hold while it waits for the port.
        self.records.show(state, align=True)
        self.connected = True
        log.warning("the instrument answers again on %s", self.att.port)
