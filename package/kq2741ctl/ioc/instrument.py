"""What the IOC reads from the instrument in one go: at start and after a loss."""
from __future__ import annotations

from typing import NamedTuple

from kq2741ctl import Status, Version

from .link import Link, Silent


class ChannelState(NamedTuple):
    wavelengths: tuple[int, ...]
    status: Status


class InstrumentState(NamedTuple):
    version: Version
    # None for a channel that does not answer while the instrument does.
    channels: dict[int, ChannelState | None]

    def silent(self) -> list[int]:
        return [n for n, state in self.channels.items() if state is None]


def read_channel(link: Link, number: int) -> ChannelState:
    """Its wavelength list and status; raises what link.call raises."""
    wavelengths = link.call(lambda att: att.channel(number).wavelengths, channel=number)
    return ChannelState(wavelengths, link.call(lambda att: att.channel(number).status(), channel=number))


def read_instrument(link: Link, channels: tuple[int, ...]) -> InstrumentState:
    """Version, wavelength lists and statuses; a channel that does not answer
    is None, anything else that fails raises as link.call does."""
    version = link.call(lambda att: att.version)
    states: dict[int, ChannelState | None] = {}
    for n in channels:
        try:
            states[n] = read_channel(link, n)
        except Silent:
            states[n] = None
    return InstrumentState(version, states)
