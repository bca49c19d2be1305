"""The KQ2741 from asyncio: the same verified exchange as kq2741ctl.Attenuator,
as awaitables that never block the event loop.

    from kq2741ctl.aio import Attenuator

    async with Attenuator("/dev/ttyUSB0") as att:
        ch = att.channel(1)
        await ch.set_attenuation(3.5)       # returns after the acknowledgement
        print(await ch.get_attenuation())   # 3.5, read back from the instrument

Each exchange runs on the instrument's own worker thread, in the C++ core,
with the GIL released while it waits: the loop goes on meanwhile. One
instrument carries one exchange at a time (gathered calls take turns, in the
order they were made); two instruments work in parallel. Cancelling a task
mid-exchange leaves the instrument usable: the exchange under way finishes
on its thread, one not yet begun is never sent, and the next call gets its
own answer. Errors are the package's, raised by the awaiting call.
"""
from __future__ import annotations

import asyncio
import functools
import os
import weakref
from concurrent.futures import ThreadPoolExecutor
from types import TracebackType
from typing import Any, Callable, TypeVar

from . import _core
from ._results import Status, Version

__all__ = ["Attenuator", "Channel"]

T = TypeVar("T")


class Attenuator:
    """A KQ2741 on a serial port (a device name or a pyserial URL), for asyncio.

    Nothing is opened until ``await open()`` or ``async with``; ``timeout``
    and ``reconnect`` are kq2741ctl.Attenuator's.
    """

    def __init__(self, port: str | os.PathLike[str], *, timeout: float = 1.0, reconnect: bool = True) -> None:
        self._sync = _core.Attenuator(port, timeout=timeout, reconnect=reconnect)
        self._worker: ThreadPoolExecutor | None = None

    async def _run(self, call: Callable[..., T], *args: Any) -> T:
        if self._worker is None:
            # One thread per instrument: its exchanges queue there in order,
            # and no shared pool thread ever waits for another instrument's
            # lock. It ends with close(), or when the Attenuator is dropped.
            self._worker = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kq2741")
            weakref.finalize(self, self._worker.shutdown, wait=False)
        return await asyncio.get_running_loop().run_in_executor(self._worker, functools.partial(call, *args))

    @property
    def sync(self) -> _core.Attenuator:
        """The kq2741ctl.Attenuator underneath (for code that is not async)."""
        return self._sync

    @property
    def port(self) -> str:
        return self._sync.port

    @property
    def is_open(self) -> bool:
        return self._sync.is_open

    @property
    def timeout(self) -> float:
        return self._sync.timeout

    async def open(self) -> None:
        await self._run(self._sync.open)

    async def close(self) -> None:
        try:
            await self._run(self._sync.close)
        finally:
            worker, self._worker = self._worker, None
            if worker is not None:
                worker.shutdown(wait=False)

    async def __aenter__(self) -> Attenuator:
        await self.open()
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        await self.close()

    async def get_version(self) -> Version:
        return await self._run(getattr, self._sync, "version")

    async def close_display(self) -> None:
        await self._run(self._sync.close_display)

    def channel(self, n: int) -> Channel:
        """Channel n, 1 to 255 (checked here, before anything is sent)."""
        return Channel(self, self._sync.channel(n))

    def __repr__(self) -> str:
        return f"<aio {self._sync!r}>"


class Channel:
    """One channel of an aio.Attenuator: attenuation in dB, wavelength in nm."""

    def __init__(self, attenuator: Attenuator, channel: _core.Channel) -> None:
        self._attenuator = attenuator
        self._channel = channel

    @property
    def number(self) -> int:
        return self._channel.number

    async def set_attenuation(self, db: Any) -> None:
        """0 to MAX_DB on the STEP_DB grid, judged before anything is sent;
        returns after the acknowledgement."""
        await self._attenuator._run(setattr, self._channel, "attenuation", db)

    async def get_attenuation(self) -> float:
        return await self._attenuator._run(getattr, self._channel, "attenuation")

    async def set_wavelength(self, nm: Any) -> None:
        """Selects one of the channel's own wavelengths (ValueError for any other)."""
        await self._attenuator._run(setattr, self._channel, "wavelength", nm)

    async def get_wavelength(self) -> int:
        return await self._attenuator._run(getattr, self._channel, "wavelength")

    async def get_wavelengths(self) -> tuple[int, ...]:
        return await self._attenuator._run(getattr, self._channel, "wavelengths")

    async def status(self) -> Status:
        return await self._attenuator._run(self._channel.status)

    async def clear(self) -> None:
        await self._attenuator._run(self._channel.clear)

    async def disconnect(self) -> None:
        await self._attenuator._run(self._channel.disconnect)

    def __repr__(self) -> str:
        return f"<aio Channel {self.number} of {self._attenuator._sync!r}>"
