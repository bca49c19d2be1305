"""What the IOC does to its records beyond softioc's own calls."""
from __future__ import annotations

import ctypes

from softioc import fields  # type: ignore[import-untyped]
from softioc.imports import db_put_field_process  # type: ignore[import-untyped]


def raise_alarm(record, severity: int, status: int) -> None:
    """Puts an output record into alarm from its validator or handler.

    Both run while the record processes the put (the handler while the put
    is active, PACT); the end of that processing turns the new severity into
    SEVR, and the next good put clears it. softioc offers no call for this:
    its set_alarm processes the record again, which would send the setting a
    second time.
    """
    record_fields = record._record
    if severity > record_fields.NSEV:
        record_fields.NSEV = severity
        record_fields.NSTA = status


def allow_puts(record, allowed: bool) -> None:
    """Sets DISP, which makes the server refuse a put before the record
    processes it, telling the client (ECA_PUTFAIL). Unlike softioc's
    set_field this does not process the record, which would send its value."""
    text = ctypes.create_string_buffer(b"0" if allowed else b"1", 40)
    db_put_field_process(f"{record.name}.DISP", fields.DBF_STRING, ctypes.addressof(text), 1, False)
