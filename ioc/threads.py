"""Python thread states kept for the lifetime of the IOC's callback threads.

softioc processes a record by calling into Python from a thread that EPICS
started. For each such call Python makes a thread state and drops it after,
mapping and unmapping memory for its frames every time: on a put, twice on
the callback thread (the read-back record, then the end of the put). Taking
the GIL state once more on each callback thread, and never giving it back,
keeps that thread's state, and the put does not pay for it again.

The server's threads (one per client) are left alone: they end when their
client goes, and a kept state would then be lost with them.
"""
from __future__ import annotations

import ctypes
from typing import Callable

from epicscorelibs.ioc import dbCore  # type: ignore[import-untyped]

_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class _EpicsCallback(ctypes.Structure):  # epicsCallback in callback.h
    _fields_ = [("callback", _CALLBACK), ("priority", ctypes.c_int),
                ("user", ctypes.c_void_p), ("timer", ctypes.c_void_p)]
    callback: Callable[[int | None], None]
    priority: int
    user: int | None
    timer: int | None


def _keep(_: int | None) -> None:
    ctypes.pythonapi.PyGILState_Ensure()


_keep_callback = _CALLBACK(_keep)
_requests: list[_EpicsCallback] = []  # EPICS holds their addresses until they run


def keep_callback_thread_states() -> None:
    """After iocInit: one request to each priority's callback thread."""
    request = dbCore.callbackRequest
    request.argtypes = (ctypes.POINTER(_EpicsCallback),)
    request.restype = ctypes.c_long
    for priority in range(3):  # priorityLow, priorityMedium, priorityHigh
        callback = _EpicsCallback(_keep_callback, priority, None, None)
        _requests.append(callback)
        request(ctypes.byref(callback))
