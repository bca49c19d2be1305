"""The process variables: one set per channel and one for the instrument.

Each record is made from its row of the PV table (pvs.py). A put to an
output record is checked by its validator, in the server thread that took
it, before anything is sent; its handler then hands the exchanges to the
port worker (owner.py) and returns. The record stays active until the worker
completes it, after the instrument acknowledged the setting and the
read-backs show the instrument's new status, so the client's put-callback
completes with the read-back in place and the set-point showing what the
instrument took (3.46 for a put of 3.456).

Read-backs are input records named ``..._RBV``, in the access-security
group READONLY. What the worker learns is shown through the View methods at
the end of each class: every value the IOC sets is posted to monitors with
its alarm.
"""
from __future__ import annotations

import logging
import math
from typing import Any, Callable

import numpy
from softioc import alarm, builder  # type: ignore[import-untyped]

from kq2741ctl import Status

from .instrument import ChannelState, InstrumentState
from .link import Link
from .logs import short
from .owner import NOT_ANSWERING, PortOwner, Put, Unfit
from .pvi import info_tags
from .pvs import CHANNEL, CHANNEL_PREFIX, INSTRUMENT, MAX_WAVELENGTHS, Pv
from .recordio import allow_puts, raise_alarm, restore, show, show_input
from .units import MAX_DB, nearest_step

log = logging.getLogger("kq2741ctl.ioc")

READ_ONLY = "READONLY"  # the access-security group of every read-back

_MAKERS = {"ao": builder.aOut, "ai": builder.aIn, "longout": builder.longOut, "longin": builder.longIn,
           "bo": builder.boolOut, "bi": builder.boolIn, "stringin": builder.stringIn}


def make(pv: Pv, name: str, pvi: dict[str, dict], **extra):
    """The record of one row of the PV table, with its part of the PVI structure."""
    fields = {"DESC": pv.desc, **pv.fields, **extra}
    if pv.egu:
        fields["EGU"] = pv.egu
    if pv.prec is not None:
        fields["PREC"] = pv.prec
    if pv.states:
        fields["ZNAM"], fields["ONAM"] = pv.states
    if not pv.writable:
        fields["ASG"] = READ_ONLY
    if pv.record == "waveform":
        record = builder.WaveformIn(name, datatype=numpy.int32, length=MAX_WAVELENGTHS, **fields)
    else:
        record = _MAKERS[pv.record](name, **fields)
    if name in pvi:
        record.add_info("Q:group", pvi[name])
    return record


def dispatch(func: Callable, func_args=(), completion: Callable | None = None, completion_args=()) -> None:
    """softioc's dispatcher: the handler at once, in the thread processing
    the put; it hands the work to the port worker, which completes the put.
    Should the handler fail, softioc's own completion ends the put."""
    try:
        func(*func_args)
    except Exception:
        log.exception("a put's handler failed")
        if completion is not None:
            completion(*completion_args)


def refuse(record, why: str, short: str, severity: int = alarm.MAJOR_ALARM,
           status: int = alarm.WRITE_ALARM) -> bool:
    """A validator's no. The record has taken the put, and Channel Access
    completes a put-callback whatever the processing found, so the refusal
    shows as the record's alarm and its message (short: AMSG holds 39
    bytes; the log says why at length); the value goes back to the last good one."""
    log.warning("refused a put to %s: %s", record.name, why)
    raise_alarm(record, severity, status, short)
    return False


class _Outputs:
    """What the channel's and the instrument's output records share."""

    owner: PortOwner
    number: int | None
    pvi: dict[str, dict]

    def _out(self, pv: Pv, name: str, work: Callable[[Link, Any], Any], check: Callable[[Any], Unfit | None],
             kept: Callable[[Any], Any], **fields):
        waiting: dict[str, Any] = {}

        def validate(record, value) -> bool:
            if not self.owner.connected:
                return refuse(record, NOT_ANSWERING, NOT_ANSWERING, alarm.INVALID_ALARM, alarm.COMM_ALARM)
            if self.number in self.owner.silent:
                why = f"channel {self.number} does not answer"
                return refuse(record, why, why, alarm.INVALID_ALARM, alarm.COMM_ALARM)
            unfit = check(value)
            if unfit is None:
                return True
            if isinstance(value, float) and math.isnan(value):  # the ao record's own verdict: INVALID/UDF
                return refuse(record, str(unfit), unfit.short, alarm.INVALID_ALARM, alarm.UDF_ALARM)
            return refuse(record, str(unfit), unfit.short)

        def handler(value) -> None:
            # A put that came in while the last one was active waits here,
            # its value taken out of VAL before it could be posted unchecked.
            value = waiting.pop("value", value)

            def run(link: Link) -> Any:
                unfit = check(value)
                if unfit is not None:
                    raise unfit
                return work(link, value)

            self.owner.submit(Put(record, self.number, value, run, kept, lambda v: waiting.__setitem__("value", v)))

        # always_update: a put of the value already there is still sent and
        # read back (and a second CLEAR still clears). Output records refuse
        # puts (DISP) until the instrument has answered.
        record = make(pv, name, self.pvi, on_update=handler, validate=validate, always_update=True,
                      blocking=True, DISP=1, **fields)
        return record


def _idle(value: int) -> int:
    """What an action record shows when done, done or not."""
    return 0


def _action(value: int) -> Unfit | None:
    # Channel Access converts a put to the bo's 16-bit VAL before anyone
    # sees it (1.9 and 65537 arrive as 1): what is left must be 0 or 1.
    return None if value in (0, 1) else Unfit(f"{value} is neither 0 nor 1", f"{value} is neither 0 nor 1")


class ChannelRecords(_Outputs):
    """CH{n}:... of one channel."""

    number: int

    def __init__(self, prefix: str, number: int, owner: PortOwner, pvi: dict[str, dict]):
        self.number = number
        self.owner = owner
        self.pvi = pvi
        self.wavelengths: tuple[int, ...] = ()
        self._status: Status | None = None  # as last shown
        self._rewrite = True  # the next status sets every read-back
        name = prefix + CHANNEL_PREFIX.format(n=number)
        pv = {p.suffix: p for p in CHANNEL}
        self.att = self._out(pv["ATT"], name + "ATT", self._set_attenuation, self._attenuation_problem,
                             self._kept_attenuation, DRVL=0, DRVH=MAX_DB)
        self.att_rbv = make(pv["ATT_RBV"], name + "ATT_RBV", self.pvi, LOPR=0, HOPR=MAX_DB)
        self.wl = self._out(pv["WL"], name + "WL", self._select, self._wavelength_problem, self._kept_wavelength)
        self.wl_rbv = make(pv["WL_RBV"], name + "WL_RBV", self.pvi)
        self.wls_rbv = make(pv["WLS_RBV"], name + "WLS_RBV", self.pvi)
        self.mode_rbv = make(pv["MODE_RBV"], name + "MODE_RBV", self.pvi)
        self.clear = self._out(pv["CLEAR"], name + "CLEAR", self._clear, _action, _idle, initial_value=0)
        self.disconnect = self._out(pv["DISCONNECT"], name + "DISCONNECT", self._disconnect, _action, _idle,
                                    initial_value=0)
        self.read_backs = (self.att_rbv, self.wl_rbv, self.wls_rbv, self.mode_rbv)
        self.outputs = (self.att, self.wl, self.clear, self.disconnect)

    def _nm(self, index: int) -> int | None:
        return self.wavelengths[index] if 0 <= index < len(self.wavelengths) else None

    # --- puts: what is refused before anything is sent -------------------

    @staticmethod
    def _attenuation_problem(value: float) -> Unfit | None:
        if math.isnan(value):
            return Unfit("NaN is no attenuation", "NaN is no attenuation")
        try:
            nearest_step(value)  # the ao record clamps to DRVL/DRVH; this holds whatever they say
        except (ValueError, TypeError) as error:
            return Unfit(f"{short(value)} dB: {error}", f"outside 0 to {MAX_DB:g} dB")
        return None

    def _wavelength_problem(self, nm: int) -> Unfit | None:
        if nm in self.wavelengths:
            return None
        return Unfit(f"channel {self.number} has no {short(nm)} nm (it has {', '.join(map(str, self.wavelengths))})",
                     f"{short(nm)} nm is not in WLS_RBV")

    def _kept_attenuation(self, value: float) -> float:
        return self._status.attenuation if self._status else value

    def _kept_wavelength(self, value: int) -> int:
        nm = self._nm(self._status.wavelength_index) if self._status else None
        return value if nm is None else nm

    # --- puts: the exchanges, on the port worker -------------------------

    def _status_after(self, link: Link) -> Status:
        status = link.call(lambda att: att.channel(self.number).status(), channel=self.number)
        self.show_status(status)
        return status

    def _set_attenuation(self, link: Link, value: float) -> float:
        db = nearest_step(value)
        link.call(lambda att: setattr(att.channel(self.number), "attenuation", db), channel=self.number)
        return self._status_after(link).attenuation

    def _select(self, link: Link, nm: int) -> int:
        link.call(lambda att: setattr(att.channel(self.number), "wavelength", nm), channel=self.number)
        shown = self._nm(self._status_after(link).wavelength_index)
        return nm if shown is None else shown

    def _clear(self, link: Link, value: int) -> int:
        if value:
            link.call(lambda att: att.channel(self.number).clear(), channel=self.number)
            status = self._status_after(link)
            show(self.att, status.attenuation)  # the set-point follows; a put to it under way shows its own
        return 0

    def _disconnect(self, link: Link, value: int) -> int:
        if value:
            link.call(lambda att: att.channel(self.number).disconnect(), channel=self.number)
            self._status_after(link)
        return 0

    # --- what the instrument reports (on the port worker) ----------------

    def show_status(self, status: Status, rewrite: bool = False) -> None:
        """The read-backs, free of alarms: those that changed, or all of them
        (rewrite, on every poll: a read-back is the instrument's word, so it
        is set again from each answer)."""
        last = None if rewrite or self._rewrite else self._status
        self._status, self._rewrite = status, False
        if last is None or status.attenuation != last.attenuation:
            show_input(self.att_rbv, status.attenuation)
        if last is None or status.wavelength_index != last.wavelength_index:
            nm = self._nm(status.wavelength_index)
            if nm is None:
                show_input(self.wl_rbv, None, alarm.INVALID_ALARM, alarm.STATE_ALARM,
                           f"index {status.wavelength_index} is not in the list")
            else:
                show_input(self.wl_rbv, nm)
        if last is None or status.mode != last.mode:
            show_input(self.mode_rbv, status.mode)

    def show_state(self, state: ChannelState) -> None:
        """Everything of the channel, set-points included, and puts taken again."""
        self.wavelengths = state.wavelengths
        show_input(self.wls_rbv, numpy.array(state.wavelengths, dtype=numpy.int32))
        self.show_status(state.status, rewrite=True)
        show(self.att, state.status.attenuation)
        nm = self._nm(state.status.wavelength_index)
        if nm is not None:
            show(self.wl, nm)
        for record in self.outputs:
            allow_puts(record, True)

    def mark(self, message: str, refuse_puts: bool) -> None:
        """Every read-back keeps its value, INVALID with a communication alarm."""
        self._rewrite = True
        if refuse_puts:
            for record in self.outputs:
                allow_puts(record, False)
        for record in self.read_backs:
            show_input(record, None, alarm.INVALID_ALARM, alarm.COMM_ALARM, message)

    def restore_unprocessed(self) -> None:
        for record in self.outputs:
            if restore(record):
                log.warning("undid a put to %s that asked not to be processed", record.name)


class InstrumentRecords(_Outputs):
    """Every PV of one instrument, its own and its channels': the View the port worker shows through."""

    def __init__(self, prefix: str, channels: tuple[int, ...], owner: PortOwner):
        self.owner = owner
        self.number = None
        self.pvi = info_tags(prefix, channels)
        pv = {p.suffix: p for p in INSTRUMENT}
        self.version_rbv = make(pv["VERSION_RBV"], prefix + "VERSION_RBV", self.pvi)
        self.display_close = self._out(pv["DISPLAY_CLOSE"], prefix + "DISPLAY_CLOSE", self._close_display,
                                       _action, _idle, initial_value=0)
        self.connected_rbv = make(pv["CONNECTED_RBV"], prefix + "CONNECTED_RBV", self.pvi)
        self.channels = {n: ChannelRecords(prefix, n, owner, self.pvi) for n in channels}

    def _close_display(self, link: Link, value: int) -> int:
        if value:
            link.call(lambda att: att.close_display())
        return 0

    # --- the View ----------------------------------------------------------

    def show_status(self, channel: int, status: Status, rewrite: bool) -> None:
        self.channels[channel].show_status(status, rewrite)

    def channel_failed(self, channel: int, message: str) -> None:
        self.channels[channel].mark(message, refuse_puts=False)

    def channel_silent(self, channel: int, message: str) -> None:
        self.channels[channel].mark(message, refuse_puts=True)

    def channel_back(self, channel: int, state: ChannelState) -> None:
        self.channels[channel].show_state(state)

    def lost(self, message: str) -> None:
        """CONNECTED_RBV first, then puts refused (DISP, which Channel Access
        and PV Access report to the client), then every read-back marked."""
        show_input(self.connected_rbv, 0, alarm.INVALID_ALARM, alarm.COMM_ALARM, message)
        allow_puts(self.display_close, False)
        for channel in self.channels.values():
            channel.mark(message, refuse_puts=True)
        show_input(self.version_rbv, None, alarm.INVALID_ALARM, alarm.COMM_ALARM, message)

    def recovered(self, state: InstrumentState) -> None:
        """Everything the instrument reported, set-points included (it may
        have been switched off and on), then puts taken, then CONNECTED_RBV."""
        v = state.version
        show_input(self.version_rbv, f"{v.module}.{v.hardware}.{v.software}")
        for n, channel in self.channels.items():
            channel_state = state.channels[n]
            if channel_state is None:
                channel.mark(f"channel {n} does not answer", refuse_puts=True)
            else:
                channel.show_state(channel_state)
        allow_puts(self.display_close, True)
        show_input(self.connected_rbv, 1)

    def restore_unprocessed(self) -> None:
        if restore(self.display_close):
            log.warning("undid a put to %s that asked not to be processed", self.display_close.name)
        for channel in self.channels.values():
            channel.restore_unprocessed()
