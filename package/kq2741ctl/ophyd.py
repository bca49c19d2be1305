"""The KQ2741 as ophyd-async devices for bluesky (``pip install "kq2741[bluesky]"``).

    from bluesky import RunEngine, plans as bp
    from kq2741ctl.ophyd import KQ2741, KQ2741Epics

    kq = KQ2741("/dev/ttyUSB0", channels=(1, 2), name="kq")   # the instrument itself
    kq = KQ2741Epics("KQ2741:", name="kq")                    # or through a kq2741-ioc
    RE = RunEngine()
    RE(ensure_connected(kq))                 # or: await kq.connect()
    RE(bp.scan([kq.ch1], kq.ch1.attenuation, 0, 10, 101))

Both have the same shape: channels ``kq.ch1``... whose ``attenuation`` (dB,
read in every event) and ``wavelength`` (nm, configuration) are movable
and read back from the instrument. A move the instrument cannot make or
one that fails fails the move's status, and with it the plan; it never
passes for a success.

``KQ2741`` talks to the instrument itself, through kq2741ctl.aio: no EPICS
needed. Each channel also has ``wavelengths`` (read-only); a move's failure
is the package's exception.

``KQ2741Epics(prefix)`` discovers the IOC's PVs from its PVI structure over
PV Access; no PV name is written here or by its user. With a ``ca://``
prefix it speaks Channel Access instead, its PV names made from the same
table the IOC serves (for ``channels``, 1-4 unless told). Its channels are
also the DeviceVector ``kq.ch`` (``kq.ch[1]`` is ``kq.ch1``), and PVI adds
``wavelengths``, ``mode``, ``clear``, ``disconnect``. A put the IOC refused
(the record in alarm after it: a wavelength the channel lacks, the
instrument lost) or could not take (it refuses puts while the instrument
does not answer) fails the move with ``Refused`` saying which PV, which
value and why, on either protocol.
"""
from __future__ import annotations

import asyncio
import re
from collections.abc import Awaitable, Callable, Iterable
from functools import cached_property
from typing import Annotated as A
from typing import Any

from ._extras import missing_framework

try:
    import numpy as np
    from ophyd_async.core import (
        DEFAULT_TIMEOUT,
        Array1D,
        SignalR,
        SignalRW,
        SoftSignalBackend,
        DeviceVector,
        StandardReadable,
        StandardReadableFormat,
    )
    from ophyd_async.epics.core import CaSignalBackend, PvaSignalBackend, epics_signal_r, epics_signal_rw
    from ophyd_async.fastcs.core import fastcs_connector
except ModuleNotFoundError as error:  # one line that says what to install
    raise missing_framework(__name__, "ophyd-async and bluesky", "bluesky", error) from None

from . import aio
from ._core import STEP_DB
from .ioc.pvi import CHANNELS, structure
from .ioc.pvs import CHANNEL_PREFIX

__all__ = ["KQ2741", "KQ2741Channel", "KQ2741Epics", "KQ2741EpicsChannel", "Refused"]

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


# --- through kq2741-ioc -------------------------------------------------------

_CHANNEL_ATTRIBUTE = re.compile(r"ch([1-9][0-9]*)")


class Refused(RuntimeError):
    """The IOC did not take a put: the PV, the value and its reason."""


class _Channels:
    """kq.ch1 for kq.ch[1]: the channels by attribute too."""

    ch: DeviceVector

    def __getattr__(self, name: str) -> Any:
        match = _CHANNEL_ATTRIBUTE.fullmatch(name)
        channels = self.__dict__.get("_child_devices", {}).get(CHANNELS)
        if match and channels is not None and int(match[1]) in channels:
            return channels[int(match[1])]
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")


# --- puts that say when they were refused ------------------------------------

_pva_contexts: dict[asyncio.AbstractEventLoop, Any] = {}


async def _alarm_over_pva(pv: str) -> tuple[int, str]:
    from p4p.client.asyncio import Context

    loop = asyncio.get_running_loop()
    if loop not in _pva_contexts:
        _pva_contexts.clear()  # one loop at a time, as ophyd-async's own context
        _pva_contexts[loop] = Context("pva", nt=False)
    value = await _pva_contexts[loop].get(pv, request="field(alarm)")
    return int(value.alarm.severity), str(value.alarm.message)


async def _alarm_over_ca(pv: str) -> tuple[int, str]:
    from aioca import FORMAT_TIME, caget

    reading = await caget(pv, format=FORMAT_TIME)
    message = await caget(pv + ".AMSG") if reading.severity else ""
    return int(reading.severity), str(message)


class _CheckedPva(PvaSignalBackend):
    async def put(self, value):
        try:
            await super().put(value)
        except Exception as error:  # the server's own word, e.g. "Put Disabled"
            raise Refused(f"{self.write_pv} = {value!r} not taken: {error} (the IOC takes no puts "
                          "while the instrument does not answer)") from error
        severity, message = await _alarm_over_pva(self.write_pv)
        if severity:
            raise Refused(f"{self.write_pv} = {value!r} was refused: {message or 'in alarm'}")


class _CheckedCa(CaSignalBackend):
    async def put(self, value):
        try:
            await super().put(value)
        except Exception as error:  # aioca's CANothing is falsy: say it in an exception of our own
            raise Refused(f"{self.write_pv} = {value!r} not taken: {error} (the IOC takes no puts "
                          "while the instrument does not answer)") from error
        severity, message = await _alarm_over_ca(self.write_pv)
        if severity:
            raise Refused(f"{self.write_pv} = {value!r} was refused: {message or 'in alarm'}")


class _Setting(SignalRW):
    """A setting: a SignalRW that is also the independent axis of a scan
    (hints, which bluesky's scan and BestEffortCallback's table look for)."""

    @property
    def hints(self) -> dict[str, list[str]]:
        return {"fields": [self.name]}


def _checked(signal: SignalRW) -> SignalRW:
    """The signal as a setting whose puts check the record's alarm after they complete.

    ophyd-async makes the signal and its backend (from PVI, or
    epics_signal_rw); this makes them the kinds of this module, which add
    only the hints and the check (no state of their own)."""
    signal.__class__ = _Setting
    backend = signal._connector.backend
    if isinstance(backend, PvaSignalBackend) and not isinstance(backend, _CheckedPva):
        backend.__class__ = _CheckedPva
    elif isinstance(backend, CaSignalBackend) and not isinstance(backend, _CheckedCa):
        backend.__class__ = _CheckedCa
    return signal


# --- the device over kq2741-ioc ----------------------------------------------


class KQ2741EpicsChannel(StandardReadable):
    """A channel of kq2741-ioc, the shape of KQ2741Channel: PVI fills the rest
    (wavelengths, mode, clear, disconnect)."""

    attenuation: A[SignalRW[float], StandardReadableFormat.HINTED_SIGNAL]
    wavelength: A[SignalRW[int], StandardReadableFormat.CONFIG_SIGNAL]

    def __init__(self, connector=None, name: str = "") -> None:
        super().__init__(name=name, connector=connector)
        for signal in (getattr(self, "attenuation", None), getattr(self, "wavelength", None)):
            if signal is not None:
                _checked(signal)


class KQ2741Epics(_Channels, StandardReadable):
    """The instrument behind one kq2741-ioc."""

    ch: DeviceVector[KQ2741EpicsChannel]
    connected: SignalR[bool]
    version: SignalR[str]

    def __init__(self, prefix: str, name: str = "", *, channels: tuple[int, ...] = (1, 2, 3, 4)) -> None:
        protocol, _, bare = prefix.rpartition("://")
        if protocol not in ("", "pva", "ca"):
            raise ValueError(f"{prefix!r}: give a prefix, pva://PREFIX or ca://PREFIX")
        if protocol != "ca":
            super().__init__(name=name, connector=fastcs_connector(bare, self))
            return
        # Channel Access has no PVI: the same entries, made from the IOC's table.
        served = structure(bare, channels)
        top = served[bare + "PVI"]
        self.ch = DeviceVector({n: self._ca_channel(served[f"{bare}{CHANNEL_PREFIX.format(n=n)}PVI"])
                                for n in channels})
        self.connected = epics_signal_r(bool, "ca://" + top["connected"]["r"])
        self.version = epics_signal_r(str, "ca://" + top["version"]["r"])
        super().__init__(name=name)

    async def connect(self, *args, **kwargs) -> None:
        await super().connect(*args, **kwargs)
        # The channels read in every event; over PVI they exist only now.
        fresh = [channel for channel in self.ch.values() if channel not in self._read_channels]
        if fresh:
            self.add_readables(fresh, StandardReadableFormat.CHILD)
            self._read_channels.extend(fresh)

    @cached_property
    def _read_channels(self) -> list[KQ2741EpicsChannel]:
        return []

    @staticmethod
    def _ca_channel(entries: dict[str, dict[str, str]]) -> KQ2741EpicsChannel:
        channel = KQ2741EpicsChannel()
        with channel.add_children_as_readables(StandardReadableFormat.HINTED_SIGNAL):
            channel.attenuation = _checked(epics_signal_rw(
                float, "ca://" + entries["attenuation"]["r"], "ca://" + entries["attenuation"]["w"]))
        with channel.add_children_as_readables(StandardReadableFormat.CONFIG_SIGNAL):
            channel.wavelength = _checked(epics_signal_rw(
                int, "ca://" + entries["wavelength"]["r"], "ca://" + entries["wavelength"]["w"]))
        return channel
