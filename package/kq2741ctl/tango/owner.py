"""The port owner: the Attenuator, what the instrument last reported, and the
poller that keeps that fresh and notices silence.

Nothing here knows Tango. The device reads the owner's readings without
waiting (they are replaced whole, never changed in place) and hears of every
change through its view, called with the port's lock held, so the changes
reach it in the order the instrument reported them: a later read-back is
never overwritten by an earlier one.

One lock, the port's, covers an operation and the read-back that follows it;
the Attenuator's own lock below it is then never contended. Waiting for it
releases the GIL.
"""
from __future__ import annotations

import contextlib
import logging
import threading
import time
from typing import Callable, ContextManager, NamedTuple, Protocol


from kq2741ctl import Attenuator, InstrumentError, NoAnswer, Status, Version

log = logging.getLogger("kq2741ctl.tango")


class ChannelReading(NamedTuple):
    wavelengths: tuple[int, ...]
    status: Status
    when: float  # time.time() of the exchange that gave status

    @property
    def wavelength(self) -> int | None:
        """The selected nm; None for an index beyond the list."""
        index = self.status.wavelength_index
        return self.wavelengths[index] if 0 <= index < len(self.wavelengths) else None


class View(Protocol):
    def channel_changed(self, number: int, reading: ChannelReading) -> None: ...

    def health_changed(self) -> None: ...


class NotConnected(Exception):
    """An operation refused at once because the instrument is known to be silent."""


def lost_contact(error: BaseException) -> bool:
    """True when the instrument is silent or the port failed; False when it
    answered, but refused or garbled (it is still there)."""
    if isinstance(error, NoAnswer):
        return True
    return isinstance(error, OSError) and not isinstance(error, InstrumentError)


class PortOwner:
    def __init__(self, port: str, numbers: tuple[int, ...], timeout: float, poll: float, view: View,
                 thread_context: Callable[[], ContextManager] = contextlib.nullcontext):
        self.port = port
        self.numbers = numbers
        self.poll = poll
        # A port lost (adapter pulled, simulator gone) is opened again by the
        # Attenuator on the first call after it is back: the poller's.
        self.att = Attenuator(port, timeout=timeout, reconnect=True)
        self._view = view
        self._thread_context = thread_context
        self._port = threading.Lock()
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, name="kq2741-tango-poller", daemon=True)
        # What the device shows; each replaced whole.
        self.version: Version | None = None
        self.channels: dict[int, ChannelReading] = {}
        self.lost: str | None = f"{port}: not yet opened"  # why the instrument is out of reach
        self._lost_error = ""
        self._since = time.strftime("%H:%M:%S")
        self.faults: dict[int, str] = {}  # channels whose last answer failed its check

    # --- life ---------------------------------------------------------------

    def start(self) -> None:
        """Opens the port and takes the instrument's state, then polls. A
        silent instrument or a missing port is not an error: the owner shows
        it lost and keeps trying."""
        with self._port:
            self._connect()
        self._thread.start()

    def stop(self) -> None:
        """The poller ends after the exchange it is in; the port is released."""
        self._stopping.set()
        if self._thread.is_alive():
            self._thread.join(2 * self.att.timeout + self.poll + 1)
        with self._port:
            self.att.close()

    def show_again(self) -> None:
        """The view's health_changed, in turn with every other change."""
        with self._port:
            self._view.health_changed()

    # --- operations, from the device's request threads ----------------------

    def act(self, number: int | None, operation: Callable[[Attenuator], object]) -> None:
        """operation(att), then channel number's read-back. Values the
        Attenuator refuses (ValueError, TypeError) leave before anything is
        sent; the instrument's refusal or a garbled answer is raised after
        the read-back; silence marks the instrument lost and is raised."""
        with self._port:
            if self.lost is not None:
                raise NotConnected(f"the instrument is out of reach: {self.lost}")
            try:
                operation(self.att)
            except OSError as error:
                if lost_contact(error):
                    self._lose(error)
                elif number is not None:
                    self._refresh_quietly(number)
                raise
            if number is not None:
                try:
                    self._refresh(number)
                except OSError as error:
                    self._failed(error, number)
                    raise

    # --- with the port's lock held ------------------------------------------

    def _refresh(self, number: int) -> None:
        status = self.att.channel(number).status()
        before = self.channels[number]
        self._show(number, before._replace(status=status, when=time.time()))

    def _refresh_quietly(self, number: int) -> None:
        try:
            self._refresh(number)
        except OSError as error:
            self._failed(error, number)

    def _show(self, number: int, reading: ChannelReading) -> None:
        self.channels = {**self.channels, number: reading}
        self._view.channel_changed(number, reading)
        if number in self.faults:
            self.faults = {n: why for n, why in self.faults.items() if n != number}
            self._view.health_changed()

    def _failed(self, error: OSError, number: int | None) -> None:
        if lost_contact(error):
            self._lose(error)
        elif number is not None and self.faults.get(number) != str(error):
            log.warning("channel %d: %s", number, error)
            self.faults = {**self.faults, number: str(error)}
            self._view.health_changed()

    def _lose(self, error: BaseException) -> None:
        if str(error) == self._lost_error:
            return  # nothing new to tell, five times a second
        if self.lost is None:
            self._since = time.strftime("%H:%M:%S")
            log.error("lost the instrument on %s: %s", self.port, error)
        else:
            log.warning("no instrument on %s: %s", self.port, error)
        self._lost_error = str(error)
        if isinstance(error, NoAnswer):
            self.lost = f"no answer on {self.port} since {self._since}: {error}"
        elif isinstance(error, InstrumentError):
            self.lost = f"{self.port}, since {self._since}: {error}"
        else:
            self.lost = f"the port {self.port} failed, since {self._since}: {error}"
        self._view.health_changed()

    def _connect(self) -> None:
        """Version, wavelength lists and statuses, all or none."""
        try:
            if not self.att.is_open:
                self.att.open()
            version = self.att.version
            readings = {}
            for n in self.numbers:
                channel = self.att.channel(n)
                wavelengths = channel.wavelengths
                readings[n] = ChannelReading(wavelengths, channel.status(), time.time())
        except OSError as error:
            self._lose(error)
            return
        self.version = version
        self.faults = {}
        for n, reading in readings.items():
            self._show(n, reading)
        self.lost = None
        if self._lost_error:
            log.warning("the instrument answers again on %s", self.port)
            self._lost_error = ""
        self._view.health_changed()

    # --- the poller -----------------------------------------------------------

    def _run(self) -> None:
        with self._thread_context():
            while not self._stopping.wait(self.poll):
                if self.lost is not None:
                    with self._port:
                        self._connect()
                    continue
                for n in self.numbers:
                    # One channel at a time, so a write waits for one exchange at most.
                    with self._port:
                        if self._stopping.is_set() or self.lost is not None:
                            break
                        try:
                            self._refresh(n)
                        except OSError as error:
                            self._failed(error, n)
