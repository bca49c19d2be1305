"""The process variables: one set per channel and one for the instrument.

Names and record types are an interface: clients, displays and the tests use
them as they are. Read-backs are input records named ``..._RBV``. A put to an
output record is checked by its validator before anything is sent, then its
handler makes the exchange through the port owner; the records are blocking,
so the client's put-callback completes after the instrument acknowledged the
setting and the read-back records took the new values.
"""
from __future__ import annotations

import logging
import math
from fractions import Fraction
from typing import TYPE_CHECKING, Callable

import numpy
from softioc import alarm, builder  # type: ignore[import-untyped]

from kq2741ctl import Status

from .instrument import ChannelState, InstrumentState
from .pvs import CHANNEL, CHANNEL_PREFIX, INSTRUMENT, MAX_WAVELENGTHS, Pv
from .recordio import allow_puts, raise_alarm

if TYPE_CHECKING:
    from .owner import PortOwner

STEPS_PER_DB = 100  # the instrument sets attenuation in 0.01 dB steps

log = logging.getLogger("kq2741ctl.ioc")


def refuse(record, why: str) -> bool:
    """A validator's no. The record has already taken the put, and Channel
    Access completes a put-callback whatever the processing found, so the
    refusal shows as the record's alarm; the value goes back to the last good one."""
    log.warning("refused a put to %s: %s", record.name, why)
    raise_alarm(record, alarm.MAJOR_ALARM, alarm.WRITE_ALARM)
    return False


_MAKERS = {"ao": builder.aOut, "ai": builder.aIn, "longout": builder.longOut, "longin": builder.longIn,
           "bo": builder.boolOut, "bi": builder.boolIn, "stringin": builder.stringIn}


def make(pv: Pv, name: str, **extra):
    """The record of one row of the PV table."""
    fields = {"DESC": pv.desc, **pv.fields, **extra}
    if pv.egu:
        fields["EGU"] = pv.egu
    if pv.prec is not None:
        fields["PREC"] = pv.prec
    if pv.states:
        fields["ZNAM"], fields["ONAM"] = pv.states
    if pv.record == "waveform":
        return builder.WaveformIn(name, datatype=numpy.int32, length=MAX_WAVELENGTHS, **fields)
    return _MAKERS[pv.record](name, **fields)


def _out(pv: Pv, name: str, handler: Callable, validate: Callable, **fields):
    # always_update: a put of the value already there is still sent and read
    # back (and a second CLEAR still clears).
    return make(pv, name, on_update=handler, validate=validate, always_update=True, blocking=True, **fields)


def _action_valid(owner: PortOwner, record, value: int) -> bool:
    if not owner.connected:
        return refuse(record, "the instrument does not answer")
    return value in (0, 1) or refuse(record, f"{value} is neither 0 nor 1")


class ChannelRecords:
    """CH{n}:... of one channel."""

    def __init__(self, prefix: str, number: int, owner: PortOwner, state: ChannelState | None):
        self.number = number
        self.owner = owner
        self.wavelengths: tuple[int, ...] = state.wavelengths if state else ()
        self._shown: Status | None = None
        name = prefix + CHANNEL_PREFIX.format(n=number)
        pv = {p.suffix: p for p in CHANNEL}
        # Without a first read-back the set-points stay undefined (INVALID)
        # rather than claim a value the instrument may not have.
        nm = self._nm(state.status.wavelength_index) if state else None
        start_att = {"initial_value": state.status.attenuation} if state else {}
        start_wl = {"initial_value": nm} if nm is not None else {}
        self.att = _out(pv["ATT"], name + "ATT", self._put_attenuation, self._attenuation_valid,
                        DRVL=0, DRVH=655.35, **start_att)
        self.att_rbv = make(pv["ATT_RBV"], name + "ATT_RBV")
        self.wl = _out(pv["WL"], name + "WL", self._put_wavelength, self._wavelength_valid, **start_wl)
        self.wl_rbv = make(pv["WL_RBV"], name + "WL_RBV")
        self.wls_rbv = make(pv["WLS_RBV"], name + "WLS_RBV")
        self.mode_rbv = make(pv["MODE_RBV"], name + "MODE_RBV")
        self.clear = _out(pv["CLEAR"], name + "CLEAR", self._put_clear, self._action_valid, initial_value=0)
        self.disconnect = _out(pv["DISCONNECT"], name + "DISCONNECT", self._put_disconnect, self._action_valid,
                               initial_value=0)
        self.read_backs = (self.att_rbv, self.wl_rbv, self.wls_rbv, self.mode_rbv)
        self.outputs = (self.att, self.wl, self.clear, self.disconnect)

    def _nm(self, index: int) -> int | None:
        return self.wavelengths[index] if 0 <= index < len(self.wavelengths) else None

    # --- what the instrument reports -------------------------------------

    def show(self, status: Status) -> None:
        """The read-backs that changed: a record processed for nothing costs
        a pass through the IOC's callback thread on every put and poll."""
        last, self._shown = self._shown, status
        if last is None or status.attenuation != last.attenuation:
            self.att_rbv.set(status.attenuation)
        if last is None or status.wavelength_index != last.wavelength_index:
            nm = self._nm(status.wavelength_index)
            if nm is None:  # an index beyond the list: no wavelength to show
                self.wl_rbv.set_alarm(alarm.INVALID_ALARM, alarm.STATE_ALARM)
            else:
                self.wl_rbv.set(nm)
        if last is None or status.mode != last.mode:
            self.mode_rbv.set(status.mode)

    def forget(self) -> None:
        """The next show() sets every read-back (to clear their alarms)."""
        self._shown = None

    def show_wavelengths(self, wavelengths: tuple[int, ...]) -> None:
        self.wavelengths = wavelengths
        self.wls_rbv.set(numpy.array(wavelengths, dtype=numpy.int32))

    def align_set_points(self, state: ChannelState) -> None:
        """ATT and WL take the instrument's values, without sending anything."""
        self.att.set(state.status.attenuation, process=False)
        nm = self._nm(state.status.wavelength_index)
        if nm is not None:
            self.wl.set(nm, process=False)

    # --- puts: values refused before anything is sent --------------------

    def _attenuation_valid(self, record, value: float) -> bool:
        if not self.owner.connected:
            return refuse(record, "the instrument does not answer")
        return not math.isnan(value) or refuse(record, "NaN is no attenuation")

    def _wavelength_valid(self, record, nm: int) -> bool:
        if not self.owner.connected:
            return refuse(record, "the instrument does not answer")
        return nm in self.wavelengths or refuse(
            record, f"channel {self.number} has no {nm} nm (it has {', '.join(map(str, self.wavelengths))})")

    def _action_valid(self, record, value: int) -> bool:
        return _action_valid(self.owner, record, value)

    # --- puts: the exchanges, through the port owner ---------------------

    def _put_attenuation(self, value: float) -> None:
        # Between two steps, the nearest; the ao record has clamped to 0..655.35.
        db = Fraction(round(value * STEPS_PER_DB), STEPS_PER_DB)
        self.owner.act(self.att, lambda att: setattr(att.channel(self.number), "attenuation", db), self)

    def _put_wavelength(self, nm: int) -> None:
        self.owner.act(self.wl, lambda att: setattr(att.channel(self.number), "wavelength", nm), self)

    def _put_clear(self, value: int) -> None:
        if value:
            self.owner.act(self.clear, lambda att: att.channel(self.number).clear(), self)

    def _put_disconnect(self, value: int) -> None:
        if value:
            self.owner.act(self.disconnect, lambda att: att.channel(self.number).disconnect(), self)


class InstrumentRecords:
    """Every PV of one instrument: its own and its channels'."""

    def __init__(self, prefix: str, channels: tuple[int, ...], owner: PortOwner, state: InstrumentState | None):
        self.owner = owner
        pv = {p.suffix: p for p in INSTRUMENT}
        self.version_rbv = make(pv["VERSION_RBV"], prefix + "VERSION_RBV")
        self.display_close = _out(pv["DISPLAY_CLOSE"], prefix + "DISPLAY_CLOSE", self._put_display_close,
                                  self._action_valid, initial_value=0)
        self.connected_rbv = make(pv["CONNECTED_RBV"], prefix + "CONNECTED_RBV")
        self.channels = {n: ChannelRecords(prefix, n, owner, state.channels[n] if state else None)
                         for n in channels}
        if state:
            self.show(state, align=False)
        else:
            self._mark_lost()
            for record in self.outputs():
                record.DISP = 1

    def read_backs(self):
        yield self.version_rbv
        for channel in self.channels.values():
            yield from channel.read_backs

    def outputs(self):
        yield self.display_close
        for channel in self.channels.values():
            yield from channel.outputs

    def show(self, state: InstrumentState, align: bool) -> None:
        """Everything the instrument reported, free of alarms. After a
        reconnection (align) puts are enabled again and the set-points take the
        instrument's values: it may have been switched off and on."""
        if align:
            for record in self.outputs():
                allow_puts(record, True)
        v = state.version
        self.version_rbv.set(f"{v.module}.{v.hardware}.{v.software}")
        for n, channel in self.channels.items():
            channel.show_wavelengths(state.channels[n].wavelengths)
            channel.forget()
            channel.show(state.channels[n].status)
            if align:
                channel.align_set_points(state.channels[n])
        self.connected_rbv.set(1)

    def lost(self) -> None:
        """The instrument is silent or its port gone: puts fail at once (DISP,
        which Channel Access and PV Access report to the client) and every
        read-back keeps its last value, INVALID with a communication alarm."""
        for record in self.outputs():
            allow_puts(record, False)
        self._mark_lost()

    def _mark_lost(self) -> None:
        for channel in self.channels.values():
            channel.forget()
        for record in self.read_backs():
            record.set_alarm(alarm.INVALID_ALARM, alarm.COMM_ALARM)
        self.connected_rbv.set(0, severity=alarm.INVALID_ALARM, alarm=alarm.COMM_ALARM)

    def _action_valid(self, record, value: int) -> bool:
        return _action_valid(self.owner, record, value)

    def _put_display_close(self, value: int) -> None:
        if value:
            self.owner.act(self.display_close, lambda att: att.close_display(), None)
