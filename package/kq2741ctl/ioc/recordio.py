"""What the IOC does to its records beyond softioc's own calls.

softioc processes an output record when a client puts to it and hands the
value to a handler; with a blocking record the put stays active (PACT) until
the handler's work is done. The IOC's port worker does that work, and ends
the put itself (``complete``): under the record's lock it sets the value
the instrument took, the alarm and its message, and runs the record's own
processing, so nothing can come between the value shown and the end of the
put. It also shows values on output records that no client put (``show``:
the set-point after a CLEAR, or after the instrument came back), and
processes read-backs at once (``show_input``), so a put's read-back is
in place before its completion reaches the client.

A put that arrives while another is active is written into VAL by EPICS at
once and processed after it (RPRO). ``complete`` takes such a value out of
VAL before the record posts its monitors, so a value not yet checked is
never posted as the set-point; it returns it for the next processing.

These reach into softioc's device objects (``_record``, ``_value`` and the
value conversions) and call EPICS's own functions (dbScanLock, the record
support's process); pyproject.toml keeps softioc within the major version
they are written for.
"""
from __future__ import annotations

import ctypes
import time
from typing import Any, Callable

from epicscorelibs.ioc import dbCore  # type: ignore[import-untyped]
from softioc import alarm, fields  # type: ignore[import-untyped]
# The builder first: it loads the record types softioc's device layer needs.
from softioc.builder import pythonSoftIoc  # type: ignore[import-untyped]
from softioc.imports import db_put_field_process, recGblResetAlarms  # type: ignore[import-untyped]

DBE_VALUE, DBE_LOG = 1, 2
MESSAGE_BYTES = 39  # AMSG holds 40 bytes with its terminating NUL

_lock = dbCore.dbScanLock
_lock.argtypes, _lock.restype = (ctypes.c_void_p,), None
_unlock = dbCore.dbScanUnlock
_unlock.argtypes, _unlock.restype = (ctypes.c_void_p,), None
_process = dbCore.dbProcess
_process.argtypes, _process.restype = (ctypes.c_void_p,), ctypes.c_long
_post = dbCore.db_post_events
_post.argtypes, _post.restype = (ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint), ctypes.c_int

_RecordProcess = ctypes.CFUNCTYPE(ctypes.c_long, ctypes.c_void_p)


class _RecordSupport(ctypes.Structure):
    """The head of EPICS's typed_rset: what a record type's process is."""

    _fields_ = [("number", ctypes.c_long), ("report", ctypes.c_void_p), ("init", ctypes.c_void_p),
                ("init_record", ctypes.c_void_p), ("process", ctypes.c_void_p)]


def device(record) -> Any:
    """softioc's device object behind a builder's record (validators are given the device itself)."""
    if isinstance(record, pythonSoftIoc.RecordWrapper):
        return object.__getattribute__(record, "_RecordWrapper__device")
    return record


class _Locked:
    """dbScanLock for a with-block; the fields of the record as softioc maps them."""

    def __init__(self, record):
        self.device = device(record)
        self.fields = self.device._record
        self.address = self.fields.record

    def __enter__(self):
        _lock(self.address)
        return self

    def __exit__(self, *exc) -> None:
        _unlock(self.address)


def _message(fields_, text: str) -> None:
    fields_.NAMSG = text.encode()[:MESSAGE_BYTES].decode(errors="ignore")


def _set_alarm(fields_, severity: int, status: int, message: str) -> None:
    # Raised only, as EPICS's recGblSetSevr does: processing may have found
    # worse. An alarm as bad that came without words (the ao record's own
    # UDF for a NaN) takes ours.
    if severity > fields_.NSEV:
        fields_.NSEV = severity
        fields_.NSTA = status
        _message(fields_, message)
    elif severity and severity == fields_.NSEV and message and not fields_.NAMSG:
        _message(fields_, message)


def raise_alarm(record, severity: int, status: int, message: str = "") -> None:
    """Puts an output record into alarm from its validator, while it
    processes a put (it holds its own lock then): the end of that processing
    turns the new severity into SEVR. softioc's set_alarm would process the
    record again, sending the setting a second time."""
    _set_alarm(device(record)._record, severity, status, message)


def complete(record, value, severity: int = alarm.NO_ALARM, status: int = alarm.NO_ALARM,
             message: str = "", waiting: Callable[[Any], None] | None = None) -> None:
    """Ends the active put of an output record, showing value with the alarm.

    A put that arrived meanwhile and waits to be processed goes to waiting,
    before the processing that follows this one can start; a value written
    without processing (a PV Access put with process=false) is dropped."""
    with _Locked(record) as held:
        dev, rec = held.device, held.fields
        written = dev._read_value(rec)
        if not dev._compare_values(written, dev._value[0]) and rec.RPRO and waiting is not None:
            waiting(dev._epics_to_value(written))
        shown = dev._value_to_epics(value)
        dev._write_value(rec, shown)
        # softioc applies the severity kept here on every processing: none,
        # so an alarm lasts until the next put, not for ever.
        dev._value = (shown, alarm.NO_ALARM, alarm.NO_ALARM)
        _set_alarm(rec, severity, status, message)
        support = _RecordSupport.from_address(rec.RSET)
        _RecordProcess(support.process)(held.address)


def show(record, value, severity: int = alarm.NO_ALARM, status: int = alarm.NO_ALARM,
         message: str = "") -> bool:
    """Shows value and alarm on an output record without processing it (the
    value is not sent anywhere), posting them to monitors. False, doing
    nothing, while a put is active: its completion shows its own value."""
    with _Locked(record) as held:
        dev, rec = held.device, held.fields
        if rec.PACT:
            return False
        shown = dev._value_to_epics(value)
        dev._write_value(rec, shown)
        dev._value = (shown, alarm.NO_ALARM, alarm.NO_ALARM)
        if "MLST" in dev._fields_:
            rec.MLST = shown.value
        rec.TIME = time.time()
        rec.NSEV, rec.NSTA = severity, status
        _message(rec, message)
        mask = recGblResetAlarms(rec.record) & 0xFFFF
        offset = rec.fields["VAL"][0]
        _post(held.address, held.address.value + offset, DBE_VALUE | DBE_LOG | mask)
        return True


def restore(record) -> bool:
    """Puts back the value of an idle output record that a client wrote
    without processing (a PV Access put with process=false); True if it did."""
    with _Locked(record) as held:
        dev, rec = held.device, held.fields
        if rec.PACT or dev._compare_values(dev._read_value(rec), dev._value[0]):
            return False
        dev._write_value(rec, dev._value[0])
        offset = rec.fields["VAL"][0]
        _post(held.address, held.address.value + offset, DBE_VALUE | DBE_LOG)
        return True


def show_input(record, value, severity: int = alarm.NO_ALARM, status: int = alarm.NO_ALARM,
               message: str = "") -> None:
    """A read-back takes value and alarm, processed at once (monitors posted)."""
    with _Locked(record) as held:
        dev = held.device
        epics = dev._value_to_epics(value) if value is not None else dev._value[0]
        dev._value = (epics, severity, status, None)
        if severity:
            _message(held.fields, message)
        _process(held.address)


def allow_puts(record, allowed: bool) -> None:
    """Sets DISP, which makes the server refuse a put before the record
    processes it, telling the client (ECA_PUTFAIL, or PV Access's error).
    Unlike softioc's set_field this does not process the record, which would
    send its value."""
    text = ctypes.create_string_buffer(b"0" if allowed else b"1", 40)
    db_put_field_process(f"{record.name}.DISP", fields.DBF_STRING, ctypes.addressof(text), 1, False)
