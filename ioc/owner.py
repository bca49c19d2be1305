"""The port owner: the one thread that talks to the instrument.

It is softioc's dispatcher. Every put's handler is queued here and run in
arrival order, so puts from any number of clients reach the port one at a
time and each completes with its own read-back. Between puts it refreshes the
read-backs, one channel at a time so that a put never waits for a whole round,
and while the instrument is silent or the port gone it tries to reconnect.
"""
from __future__ import annotations

import logging
import queue
import threading
import time
from typing import TYPE_CHECKING, Callable

import serial
from softioc import alarm

from kq2741ctl import Attenuator, InstrumentError, NoAnswer

from .instrument import ChannelState, read_channel, read_instrument
from .records import raise_alarm

if TYPE_CHECKING:
    from .records import ChannelRecords, InstrumentRecords

log = logging.getLogger("kq2741ctl.ioc")

_STOP = object()


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
        self.connected = connected  # read by the records' validators on the server's threads
        self.records: InstrumentRecords | None = None
        self._jobs: queue.SimpleQueue = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._run, name="kq2741-port-owner", daemon=True)
        self._last_failure = ""

    # --- softioc's dispatcher ---------------------------------------------

    def __call__(self, func: Callable, func_args=(), completion: Callable | None = None, completion_args=()):
        self._jobs.put((func, func_args, completion, completion_args))

    def start(self, records: InstrumentRecords) -> None:
        self.records = records
        self._thread.start()

    def stop(self, timeout: float) -> None:
        """Lets the exchange in progress finish, then completes the puts still
        queued without sending them, so no client waits on a stopped IOC."""
        self._jobs.put(_STOP)
        self._thread.join(timeout)
        while True:
            try:
                job = self._jobs.get_nowait()
            except queue.Empty:
                return
            if job is not _STOP and job[2] is not None:
                job[2](*job[3])

    # --- the thread -------------------------------------------------------

    def _run(self) -> None:
        next_round = time.monotonic() + self.poll
        due: list[int] = []  # channels still to read in this round
        while True:
            wait = 0.0 if due else max(0.0, next_round - time.monotonic())
            try:
                job = self._jobs.get(timeout=wait) if wait > 0 else self._jobs.get_nowait()
            except queue.Empty:
                job = None
            if job is _STOP:
                return
            if job is not None:
                self._do(*job)
            elif due:
                if self.connected:
                    self._refresh(due.pop())
                else:  # lost halfway through the round: the rest would only time out
                    due.clear()
            else:
                next_round = max(next_round + self.poll, time.monotonic())
                if self.connected:
                    due = list(reversed(self.channels))
                else:
                    self._reconnect()

    @staticmethod
    def _do(func, args, completion, completion_args) -> None:
        try:
            func(*args)
        except Exception:
            log.exception("a put's handler failed")
        finally:
            if completion is not None:
                completion(*completion_args)

    # --- exchanges --------------------------------------------------------

    def act(self, record, operation: Callable[[Attenuator], None], channel: ChannelRecords | None) -> None:
        """One put: the operation, then the channel's read-back. A failure puts
        the record into alarm until its next good put: INVALID when the
        instrument is silent, MAJOR when it refused."""
        if not self.connected:
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
            self._refresh(channel.number)

    def _refresh(self, number: int) -> None:
        assert self.records is not None
        channel = self.records.channels[number]
        try:
            status = self.att.channel(number).status()
        except (serial.SerialException, OSError) as error:
            self._lose(error)
            return
        channel.show(ChannelState(channel.wavelengths, status))

    def _lose(self, error: BaseException) -> None:
        assert self.records is not None
        if not isinstance(error, InstrumentError):
            # The port itself failed (adapter pulled, simulator gone): opened
            # again by name when it comes back.
            self.att.close()
        if self.connected:
            self.connected = False
            log.error("lost the instrument: %s", error)
            self.records.lost()

    def _reconnect(self) -> None:
        assert self.records is not None
        try:
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
        self.connected = True
        self.records.show(state, align=True)
        log.warning("the instrument answers again on %s", self.att.port)
