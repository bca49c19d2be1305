"""The KQ2741 in bluesky plans, as ophyd-async devices (pip install "kq2741[bluesky]").

    from kq2741ctl.ophyd import KQ2741Epics

    kq = KQ2741Epics("KQ2741:", name="kq")      # a kq2741-ioc, found through its PVI
    RE(ensure_connected(kq))
    RE(bps.mv(kq.ch[1].wavelength, 1550))       # kq.ch1 is kq.ch[1]
    RE(bp.scan([detector, kq.ch1], kq.ch1.attenuation, 0, 10, 11))

Every device of this module has the same shape: its channels in ``ch``, a
DeviceVector by channel number, each a ``KQ2741Channel`` whose
``attenuation`` (dB, read in every event) and ``wavelength`` (nm,
configuration) are movable and read back from the instrument.

``KQ2741Epics(prefix)`` discovers everything else from the IOC's PVI
structure over PV Access; no PV name is written here or by its user. With a
``ca://`` prefix it speaks Channel Access instead, its PV names made from
the same table the IOC serves (for ``channels``, 1-4 unless told). A set
completes once the IOC has the instrument's acknowledgement and read-back;
a put the IOC refused (the record in alarm after it: a wavelength the
channel lacks, the instrument lost) or could not take (it refuses puts
while the instrument does not answer) fails the set's status with
``Refused`` saying which PV, which value and why, on either protocol.
"""
from __future__ import annotations

import asyncio
import re
from functools import cached_property
from typing import Annotated as A
from typing import Any

from ophyd_async.core import DeviceVector, SignalR, SignalRW, StandardReadable
from ophyd_async.core import StandardReadableFormat as Format
from ophyd_async.epics.core import CaSignalBackend, PvaSignalBackend, epics_signal_r, epics_signal_rw
from ophyd_async.fastcs.core import fastcs_connector

from .ioc.pvi import CHANNELS, structure
from .ioc.pvs import CHANNEL_PREFIX

__all__ = ["KQ2741Channel", "KQ2741Epics", "KQ2741EpicsChannel", "Refused"]

_CHANNEL_ATTRIBUTE = re.compile(r"ch([1-9][0-9]*)")


class Refused(RuntimeError):
    """The IOC did not take a put: the PV, the value and its reason."""


class KQ2741Channel(StandardReadable):
    """One channel's shape, the same on every device of this module."""

    attenuation: A[SignalRW[float], Format.HINTED_SIGNAL]
    wavelength: A[SignalRW[int], Format.CONFIG_SIGNAL]


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


class KQ2741EpicsChannel(KQ2741Channel):
    """A channel of kq2741-ioc: PVI fills the rest (wavelengths, mode, clear, disconnect)."""

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
            self.add_readables(fresh, Format.CHILD)
            self._read_channels.extend(fresh)

    @cached_property
    def _read_channels(self) -> list[KQ2741EpicsChannel]:
        return []

    @staticmethod
    def _ca_channel(entries: dict[str, dict[str, str]]) -> KQ2741EpicsChannel:
        channel = KQ2741EpicsChannel()
        with channel.add_children_as_readables(Format.HINTED_SIGNAL):
            channel.attenuation = _checked(epics_signal_rw(
                float, "ca://" + entries["attenuation"]["r"], "ca://" + entries["attenuation"]["w"]))
        with channel.add_children_as_readables(Format.CONFIG_SIGNAL):
            channel.wavelength = _checked(epics_signal_rw(
                int, "ca://" + entries["wavelength"]["r"], "ca://" + entries["wavelength"]["w"]))
        return channel
