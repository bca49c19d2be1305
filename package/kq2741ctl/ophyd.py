"""The KQ2741 as an ophyd-async device for bluesky (``pip install "kq2741[bluesky]"``).

    from bluesky import RunEngine, plans as bp
    from kq2741ctl.ophyd import KQ2741

    kq = KQ2741("/dev/ttyUSB0", channels=(1, 2), name="kq")
    RE = RunEngine()
    RE(ensure_connected(kq))                 # or: await kq.connect()
    RE(bp.scan([], kq.ch1.attenuation, 0, 10, 101))

``KQ2741`` talks to the instrument itself, through kq2741ctl.aio: no EPICS
needed. Each channel ``kq.chN`` has ``attenuation`` (dB) and ``wavelength``
(nm), settable signals whose value is always the instrument's read-back,
and ``wavelengths`` (read-only). A move the instrument cannot make (a value
between two steps, a wavelength the channel lacks) or one that fails (no
answer, a refusal) fails the move's status with the package's exception, and
with it the plan; it never passes for a success.
"""
from __future__ import annotations

from collections.abc import Awaitable, Callable, Iterable
from typing import Any

try:
    import numpy as np
    from ophyd_async.core import (
        DEFAULT_TIMEOUT,
        Array1D,
        SignalR,
        SignalRW,
        SoftSignalBackend,
        StandardReadable,
        StandardReadableFormat,
    )
except ImportError as missing:  # one line that says what to install
    raise ImportError(f'kq2741ctl.ophyd needs ophyd-async and bluesky ({missing.name} is missing): '
                      'pip install "kq2741[bluesky]" (from a checkout: pip install ".[bluesky]")') from None

from . import aio
from ._core import STEP_DB

__all__ = ["KQ2741", "KQ2741Channel"]

# Digits a read-back is shown with: as many as the instrument's steps have.
PRECISION = len(repr(STEP_DB).split(".")[1])


def _signal_rw(datatype: type, units: str, get: Callable[[], Awaitable[Any]],
               put: Callable[[Any], Awaitable[None]], precision: int | None = None) -> SignalRW[Any]:
    # The setter returns nothing, so the backend reads the value back with
    # the getter before the move's status completes.
    return SignalRW(SoftSignalBackend(datatype, units=units, precision=precision, getter=get, setter=put))


class KQ2741Channel(StandardReadable):
    """One channel: ``attenuation`` (dB), ``wavelength`` (nm), ``wavelengths``."""

    def __init__(self, channel: aio.Channel, name: str = "") -> None:
        self._channel = channel
        with self.add_children_as_readables(StandardReadableFormat.HINTED_SIGNAL):
            self.attenuation = _signal_rw(float, "dB", channel.get_attenuation, channel.set_attenuation, PRECISION)
        with self.add_children_as_readables(StandardReadableFormat.CONFIG_SIGNAL):
            self.wavelength = _signal_rw(int, "nm", channel.get_wavelength, channel.set_wavelength)
            self.wavelengths = SignalR(SoftSignalBackend(Array1D[np.int32], units="nm", getter=self._wavelengths))
        super().__init__(name=name)

    async def _wavelengths(self) -> np.ndarray:
        return np.array(await self._channel.get_wavelengths(), dtype=np.int32)

    async def clear(self) -> None:
        """Clear the channel's attenuation to 0 dB."""
        await self._channel.clear()

    async def disconnect(self) -> None:
        """Disconnect the channel."""
        await self._channel.disconnect()


class KQ2741(StandardReadable):
    """A KQ2741 on a serial port (a device name or a pyserial URL), its channels
    ``ch1``... as KQ2741Channel. The port is opened by ``connect()`` and held
    until ``close()``; ``timeout`` and ``reconnect`` are kq2741ctl.Attenuator's."""

    def __init__(self, port: str, channels: Iterable[int] = (1, 2, 3, 4), name: str = "", *,
                 timeout: float = 1.0, reconnect: bool = True) -> None:
        numbers = tuple(channels)
        if len(set(numbers)) != len(numbers):
            raise ValueError(f"channels {numbers} name a channel twice")
        self.attenuator = aio.Attenuator(port, timeout=timeout, reconnect=reconnect)
        for n in numbers:
            setattr(self, f"ch{n}", KQ2741Channel(self.attenuator.channel(n)))
        super().__init__(name=name)

    async def connect(self, mock: Any = False, timeout: float = DEFAULT_TIMEOUT, force_reconnect: bool = False) -> None:
        """Open the port (unless mocked) and read the instrument's version, so
        that a missing port or a silent instrument fails here, then connect
        the signals."""
        if not mock:
            if not self.attenuator.is_open:
                await self.attenuator.open()
            await self.attenuator.get_version()
        await super().connect(mock=mock, timeout=timeout, force_reconnect=force_reconnect)

    async def close_display(self) -> None:
        """Take the instrument's display out of full-screen mode."""
        await self.attenuator.close_display()

    async def close(self) -> None:
        """Release the port."""
        await self.attenuator.close()
