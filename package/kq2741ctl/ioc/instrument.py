"""What the IOC reads from the instrument in one go: at start and after a reconnection."""
from __future__ import annotations

from typing import NamedTuple

from kq2741ctl import Attenuator, Status, Version


class ChannelState(NamedTuple):
    wavelengths: tuple[int, ...]
    status: Status


class InstrumentState(NamedTuple):
    version: Version
    channels: dict[int, ChannelState]


def read_channel(att: Attenuator, number: int) -> ChannelState:
    channel = att.channel(number)
    return ChannelState(channel.wavelengths, channel.status())


def read_instrument(att: Attenuator, channels: tuple[int, ...]) -> InstrumentState:
    """Version, wavelength lists and statuses; raises what the first failed exchange raised."""
    version = att.version
    return InstrumentState(version, {n: read_channel(att, n) for n in channels})
