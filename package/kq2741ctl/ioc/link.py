"""The IOC's exchanges with the instrument: when to try again, when it is lost.

A line that drops or garbles one answer in a hundred must not look like a
lost instrument, and a channel that does not answer must not take the others
down with it. So every operation is tried again when its answer is missing
or bad, and the outcome says what it concerns:

- the operation's result, once a good answer came;
- ``Refused`` (the instrument's own status byte): a good answer saying no;
- ``Failed``: answers kept coming garbled (``TRIES`` in a row) while the
  instrument is not lost: only this operation failed;
- ``Silent``: this channel has not answered for ``ALARM_WINDOW`` seconds of
  trying while the instrument does (it answered the version request sent to
  find out);
- ``Lost``: nothing has answered for ``ALARM_WINDOW`` seconds of trying, in at
  least two tries in a row. Settings are sent again after a missing answer:
  each one states the whole setting, so a second copy changes nothing.

Every try is one exchange bounded by the Attenuator's time-out; a try that
fails at once (the port gone) is followed by a pause, so a vanished port is
not hammered while the window runs. The Attenuator (reconnect=True) opens
the port again by itself once its name is back: the link only keeps asking.
"""
from __future__ import annotations

import threading
import time
from typing import Callable, TypeVar

import serial

from kq2741ctl import Attenuator, BadAnswer, NoAnswer, Refused

ALARM_WINDOW = 1.0  # seconds of trying without a good answer that make the instrument lost
TRIES = 5  # garbled answers in a row that fail one operation
PACE = 0.05  # seconds between tries that failed at once

T = TypeVar("T")


class Lost(Exception):
    """Nothing answered for the alarm window; the last error is the cause."""


class Silent(Exception):
    """A channel does not answer, though the instrument does."""

    def __init__(self, channel: int, error: BaseException):
        super().__init__(f"channel {channel} does not answer, though the instrument does ({error})")
        self.channel = channel


class Failed(Exception):
    """An operation got only garbled answers while the instrument still answers."""


class Stopping(Exception):
    """The program is ending: no more tries."""


class Link:
    """The Attenuator as the port worker uses it; one thread only."""

    def __init__(self, att: Attenuator, stopping: threading.Event):
        self.att = att
        self.stopping = stopping
        self.failing_since: float | None = None  # start of the first try of a run of failures
        self.failures = 0
        self.cause = ""  # what the first failure of the run said

    def call(self, operation: Callable[[Attenuator], T], channel: int | None = None) -> T:
        """operation(att), tried again as the module's text says."""
        garbled = 0
        silent_since: float | None = None  # this channel's first unanswered try
        while True:
            started = time.monotonic()
            try:
                result = operation(self.att)
            except Refused:
                self._answered()
                raise
            except (serial.SerialException, OSError) as error:
                self._failed(started, error)
                if channel is not None and isinstance(error, NoAnswer):
                    silent_since = started if silent_since is None else silent_since
                    # The channel has been silent as long as a lost instrument
                    # would be: the version request tells which it is.
                    if time.monotonic() - silent_since >= ALARM_WINDOW and self.answers():
                        raise Silent(channel, error) from error
                if self.lost():
                    raise Lost(self.cause) from error
                if isinstance(error, BadAnswer):
                    garbled += 1
                    if garbled >= TRIES:
                        raise Failed(str(error)) from error
                self._pace(started)
            else:
                self._answered()
                return result

    def answers(self) -> bool:
        """One version request: does the instrument answer at all?"""
        started = time.monotonic()
        try:
            self.att.version
        except (serial.SerialException, OSError) as error:
            self._failed(started, error)
            return False
        self._answered()
        return True

    def lost(self) -> bool:
        return (self.failures >= 2 and self.failing_since is not None
                and time.monotonic() - self.failing_since >= ALARM_WINDOW)

    def _answered(self) -> None:
        self.failing_since = None
        self.failures = 0

    def _failed(self, started: float, error: BaseException) -> None:
        if self.failing_since is None:
            self.failing_since = started
            self.cause = str(error)
        self.failures += 1

    def _pace(self, started: float) -> None:
        left = PACE - (time.monotonic() - started)
        if left > 0:
            self.stopping.wait(left)
        if self.stopping.is_set():
            raise Stopping
