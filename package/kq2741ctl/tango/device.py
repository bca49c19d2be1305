"""The Tango device: one instrument, its channels as attributes.

Reads never wait for the instrument: they serve the read-back the owner
holds, stamped with the time of the exchange that gave it, its quality
INVALID while the instrument is out of reach. Writes and commands make their
exchanges with the device's serialisation monitor released (the port's lock
orders them), so another client's read, State or write to another
attribute is not held up behind a slow answer. Every read-back that changes
is pushed as a change and an archive event, whoever caused it.

Pushing an event takes the device's monitor, and the owner pushes with the
port's lock held; so no thread here waits for the port's lock while it
holds the monitor (AutoTangoAllowThreads lets it go, and does nothing in a
thread that does not hold it).
"""
from __future__ import annotations

import logging
import math
import time
from typing import Any, Callable

import tango  # type: ignore[import-untyped]
from tango import AttrQuality, AttrWriteType, DevState
from tango.server import Device, attribute, command, device_property  # type: ignore[import-untyped]

from kq2741ctl import MAX_DB, STEP_DB, Attenuator, BadAnswer, NoAnswer, PortBusy, Refused

from .owner import ChannelReading, NotConnected, PortOwner
from kq2741ctl._program import channel_list, ranges

log = logging.getLogger("kq2741ctl.tango")

VALID, INVALID = AttrQuality.ATTR_VALID, AttrQuality.ATTR_INVALID

# What each channel's read-back attributes show of a reading.
SHOWN: dict[str, Callable[[ChannelReading], Any]] = {
    "attenuation": lambda r: r.status.attenuation,
    "wavelength": lambda r: r.wavelength,
    "wavelengths": lambda r: list(r.wavelengths),
    "mode": lambda r: r.status.mode,
}
# Placeholders for a value the instrument never gave (sent with INVALID, which clients do not show).
NOTHING: dict[str, Any] = {"attenuation": 0.0, "wavelength": 0, "wavelengths": [], "mode": 0, "version": ""}

# The failures of an exchange as the reasons clients see in DevFailed.
REASONS: tuple[tuple[type[BaseException], str], ...] = (
    (NotConnected, "KQ2741_NotConnected"),
    (ValueError, "KQ2741_ValueRefused"),
    (TypeError, "KQ2741_ValueRefused"),
    (Refused, "KQ2741_Refused"),
    (BadAnswer, "KQ2741_BadAnswer"),
    (NoAnswer, "KQ2741_NoAnswer"),
    (PortBusy, "KQ2741_PortBusy"),
    (OSError, "KQ2741_PortFailed"),
)


def refusal(reason: str, message: str, origin: str) -> tango.DevFailed:
    """The DevFailed a client receives: reason a name to test, desc the words to show."""
    error = tango.DevError()
    error.reason, error.desc, error.origin, error.severity = reason, message, origin, tango.ErrSeverity.ERR
    return tango.DevFailed(error)


class KQ2741(Device):
    """A KQ2741 multi-channel variable optical attenuator on a serial line."""

    Port = device_property(dtype=str, default_value="",
                           doc="Serial port of the instrument (/dev/ttyUSB0) or a pyserial URL")
    Channels = device_property(dtype=str, default_value="1-4",
                               doc="Channels to serve: 1-4 or 1,3,5-8 (read once, at the server's start)")
    Timeout = device_property(dtype=float, default_value=0.25,
                              doc="Bound of each exchange in seconds; silence shows within this and the poll period")
    PollPeriod = device_property(dtype=float, default_value=0.2,
                                 doc="Seconds between two rounds of read-backs")

    # --- life -----------------------------------------------------------------

    def init_device(self) -> None:
        super().init_device()
        self._owner: PortOwner | None = None
        if not hasattr(self, "_numbers"):  # the attributes made at start stay for the server's life
            self._numbers: tuple[int, ...] = ()
            self._bad_channels = ""
            self._pushed: dict[str, tuple[Any, AttrQuality]] = {}
            self._ready = False
            self._shown_health: tuple[DevState, str] | None = None
            try:
                self._numbers = channel_list(self.Channels)
            except ValueError as error:
                self._bad_channels = f"property Channels: {error} (read when the server starts)"
        self._trouble = self._bad_channels  # why there is no owner
        for name in ("State", "Status", "version"):
            self.set_change_event(name, True, False)
        self.set_archive_event("version", True, False)
        owner = None
        if self._trouble:
            pass
        elif not self.Port:
            self._trouble = "the device property Port is not set: give the instrument's serial port"
        elif not (0 < self.PollPeriod < math.inf):
            self._trouble = f"property PollPeriod: {self.PollPeriod} is not a number of seconds above 0"
        else:
            try:
                owner = PortOwner(self.Port, self._numbers, self.Timeout, self.PollPeriod, view=self,
                                  thread_context=tango.EnsureOmniThread)
            except (ValueError, TypeError) as error:  # the Attenuator's verdict on the time-out
                self._trouble = f"property Timeout: {error}"
        if owner is None:
            self.health_changed()  # after an Init; nothing else will
            return
        self._owner = owner
        owner.start()

    def delete_device(self) -> None:
        owner, self._owner = self._owner, None
        if owner is not None:
            with tango.AutoTangoAllowThreads(self):  # a write in progress pushes its events first
                owner.stop()
        super().delete_device()

    def initialize_dynamic_attributes(self) -> None:
        for n in self._numbers:
            for attr in self._channel_attributes(n):
                self.add_attribute(attr)
                # Pushed by this server: changes on every new value, archive
                # events filtered by Tango with the attribute's archive_abs_change.
                self.set_change_event(attr.name, True, False)
                self.set_archive_event(attr.name, True, attr.name.endswith("_attenuation"))
        self._ready = True
        if self._owner is not None:  # what the first look found, now that there is somewhere to show it
            with tango.AutoTangoAllowThreads(self):
                self._owner.show_again()

    def _channel_attributes(self, n: int) -> list[attribute]:
        return [
            attribute(name=f"ch{n}_attenuation", dtype=float, access=AttrWriteType.READ_WRITE,
                      label=f"Channel {n} attenuation", unit="dB", format="%.2f", min_value=0, max_value=MAX_DB,
                      archive_abs_change=STEP_DB,
                      doc=f"Attenuation of channel {n}, set in {STEP_DB} dB steps; reads the instrument's read-back",
                      fget=self._read, fset=self._write_attenuation),
            attribute(name=f"ch{n}_wavelength", dtype=int, access=AttrWriteType.READ_WRITE,
                      label=f"Channel {n} wavelength", unit="nm",
                      doc=f"Selected wavelength of channel {n}; one of ch{n}_wavelengths",
                      fget=self._read, fset=self._write_wavelength),
            attribute(name=f"ch{n}_wavelengths", dtype=(int,), max_dim_x=255,  # the count is one byte
                      label=f"Channel {n} wavelengths", unit="nm",
                      doc=f"The wavelengths channel {n} supports", fget=self._read),
            attribute(name=f"ch{n}_mode", dtype=int, label=f"Channel {n} work mode",
                      doc=f"Work mode of channel {n} as the instrument reports it", fget=self._read),
        ]

    # --- State and Status ---------------------------------------------------------

    def _health(self) -> tuple[DevState, str]:
        owner = self._owner
        if owner is None:
            return DevState.FAULT, f"Not serving the instrument: {self._trouble}"
        if owner.lost is not None:
            return DevState.FAULT, f"The instrument is out of reach: {owner.lost}"
        served = f"serving channels {ranges(self._numbers)}"
        if owner.faults:
            bad = "; ".join(f"channel {n}: {why}" for n, why in sorted(owner.faults.items()))
            return DevState.ALARM, f"The instrument answers, but not every answer passes its check ({bad}); {served}"
        v = owner.version
        version = f", version {v.module}.{v.hardware}.{v.software}" if v else ""
        return DevState.ON, f"The instrument answers on {owner.port}{version}; {served}"

    def dev_state(self) -> DevState:
        return self._health()[0]

    def dev_status(self) -> str:
        return self._health()[1]

    # --- the owner's view: called with the port's lock held -----------------------

    def channel_changed(self, number: int, reading: ChannelReading) -> None:
        if not self._ready:
            return
        quality = self._quality(number)
        for kind, shown in SHOWN.items():
            self._push(f"ch{number}_{kind}", shown(reading), quality, reading.when)

    def health_changed(self) -> None:
        if not self._ready:
            return
        health = self._health()
        if health != self._shown_health:
            self._shown_health = health
            # Tango pushes State and Status from the device's own fields, not from a value given.
            self.set_state(health[0])
            self.set_status(health[1])
            self.push_change_event("State")
            self.push_change_event("Status")
        owner = self._owner
        if owner is None:  # what was shown stays, no longer valid
            for name, (value, _) in list(self._pushed.items()):
                self._push(name, value, INVALID, time.time())
            return
        for n, reading in owner.channels.items():
            self.channel_changed(n, reading)
        self._push("version", self._version_text(), VALID if owner.lost is None else INVALID, time.time())

    def _push(self, name: str, value: Any, quality: AttrQuality, when: float) -> None:
        if value is None:
            value, quality = NOTHING[name.split("_", 1)[-1]], INVALID
        shown = (value, quality)
        if self._pushed.get(name) == shown:
            return
        self._pushed[name] = shown
        self.push_change_event(name, value, when, quality)
        self.push_archive_event(name, value, when, quality)

    # --- reads: never an exchange -------------------------------------------------

    def _quality(self, number: int) -> AttrQuality:
        owner = self._owner
        if owner is None or owner.lost is not None or number in owner.faults:
            return INVALID
        return VALID

    def _read(self, attr: tango.Attribute) -> None:
        name = attr.get_name()
        channel, kind = name.split("_", 1)
        number = int(channel[2:])
        owner = self._owner
        reading = owner.channels.get(number) if owner is not None else None
        value = SHOWN[kind](reading) if reading is not None else None
        if reading is None or value is None:
            attr.set_value_date_quality(NOTHING[kind], time.time(), INVALID)
        else:
            attr.set_value_date_quality(value, reading.when, self._quality(number))

    def _version_text(self) -> str | None:
        v = self._owner.version if self._owner is not None else None
        return None if v is None else f"{v.module}.{v.hardware}.{v.software}"

    @attribute(dtype=str, label="Version", doc="module.hardware.software, as the instrument reports it")
    def version(self) -> tuple[str, float, AttrQuality]:
        text = self._version_text()
        if text is None:
            return "", time.time(), INVALID
        owner = self._owner
        return text, time.time(), VALID if owner is not None and owner.lost is None else INVALID

    # --- writes and commands: exchanges without the monitor ---------------------

    def _act(self, number: int | None, operation: Callable[[Attenuator], object], origin: str) -> None:
        owner = self._owner
        if owner is None:
            raise refusal("KQ2741_NotServing", f"not serving the instrument: {self._trouble}", origin)
        if number is not None and number not in self._numbers:
            raise refusal("KQ2741_NoSuchChannel",
                          f"channel {number} is not served (channels {ranges(self._numbers)})", origin)
        try:
            with tango.AutoTangoAllowThreads(self):
                owner.act(number, operation)
        except (NotConnected, ValueError, TypeError, OSError) as error:
            reason = next(r for kind, r in REASONS if isinstance(error, kind))
            raise refusal(reason, str(error), origin) from None

    def _write_attenuation(self, attr: tango.WAttribute) -> None:
        number = int(attr.get_name().split("_", 1)[0][2:])
        db = attr.get_write_value()
        log.debug("write ch%d_attenuation %r", number, db)
        self._act(number, lambda att: setattr(att.channel(number), "attenuation", db),
                  f"KQ2741.write ch{number}_attenuation")

    def _write_wavelength(self, attr: tango.WAttribute) -> None:
        number = int(attr.get_name().split("_", 1)[0][2:])
        nm = attr.get_write_value()
        log.debug("write ch%d_wavelength %r", number, nm)
        self._act(number, lambda att: setattr(att.channel(number), "wavelength", nm),
                  f"KQ2741.write ch{number}_wavelength")

    @command(dtype_in=int, doc_in="channel number")
    def ClearChannel(self, number: int) -> None:
        """Clears the channel's attenuation to 0 dB."""
        self._act(number, lambda att: att.channel(number).clear(), "KQ2741.ClearChannel")

    @command(dtype_in=int, doc_in="channel number")
    def DisconnectChannel(self, number: int) -> None:
        """Disconnects the channel."""
        self._act(number, lambda att: att.channel(number).disconnect(), "KQ2741.DisconnectChannel")

    @command
    def CloseDisplay(self) -> None:
        """Takes the instrument's display out of full-screen mode."""
        self._act(None, lambda att: att.close_display(), "KQ2741.CloseDisplay")
