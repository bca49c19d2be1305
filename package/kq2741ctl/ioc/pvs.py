"""The IOC's process variables, in one table.

The records, the ``--help`` text, the PVI structure and the screens are all
made from ``CHANNEL`` and ``INSTRUMENT`` below, so a PV added, renamed or
described here changes every one of them. Names and record types are an
interface: clients, displays and the tests use them as they are.

This module imports nothing of EPICS: the help text and the screens need no
softioc.
"""
from __future__ import annotations

import textwrap
from dataclasses import dataclass, field

# The channel numbers the instrument's frames can address.
from .._program import MAX_CHANNEL
# As many wavelengths as one answer frame can list.
MAX_WAVELENGTHS = 124
# EPICS record names hold at most this many bytes.
MAX_NAME = 60


@dataclass(frozen=True)
class Pv:
    """One record: its name after the prefix (and after CH{n}: for a channel's)."""

    suffix: str
    record: str  # the EPICS record type
    desc: str  # DESC: at most 40 characters
    help: str  # its line in --help and in the README's table
    pvi: str  # its name in PREFIX:PVI and on the ophyd-async device
    egu: str = ""
    prec: int | None = None
    # ZNAM and ONAM of a bo or bi.
    states: tuple[str, str] | None = None
    # Extra fields, as the builder takes them.
    fields: dict[str, object] = field(default_factory=dict)

    @property
    def writable(self) -> bool:
        """An output record: clients put to it; everything else is read-only."""
        return self.record in ("ao", "longout", "bo")

    @property
    def action(self) -> bool:
        """A bo that does something on 1 and returns to 0 once it is done."""
        return self.record == "bo"

    @property
    def pvi_access(self) -> str:
        """The PVI entry key: w for an output (read back by its _RBV's r), r for the rest."""
        return "w" if self.writable else "r"


CHANNEL = (
    Pv("ATT", "ao", "Attenuation setpoint",
       "a put sets the attenuation; it completes after the acknowledged set and its read-back",
       "attenuation", egu="dB", prec=2),
    Pv("ATT_RBV", "ai", "Attenuation the instrument reports",
       "the attenuation the instrument reports", "attenuation", egu="dB", prec=2),
    Pv("WL", "longout", "Wavelength setpoint",
       "a put selects that wavelength; it completes after the acknowledgement and read-back",
       "wavelength", egu="nm"),
    Pv("WL_RBV", "longin", "Selected wavelength",
       "the selected wavelength", "wavelength", egu="nm", fields={"MDEL": 0}),
    Pv("WLS_RBV", "waveform", "Wavelengths the channel supports",
       "the wavelengths the channel supports", "wavelengths", egu="nm"),
    Pv("MODE_RBV", "longin", "Work mode of the channel",
       "the channel's work mode", "mode", fields={"MDEL": 0}),
    Pv("CLEAR", "bo", "Clear the attenuation",
       "a put of 1 clears the attenuation (0 does nothing); back to 0 when done",
       "clear", states=("Done", "Clear")),
    Pv("DISCONNECT", "bo", "Disconnect the channel",
       "a put of 1 disconnects the channel (0 does nothing); back to 0 when done",
       "disconnect", states=("Done", "Disconnect")),
)

INSTRUMENT = (
    Pv("VERSION_RBV", "stringin", "Module.hardware.software version",
       "the instrument's module.hardware.software version, e.g. 2.50.32", "version"),
    Pv("DISPLAY_CLOSE", "bo", "Close the full-screen display",
       "a put of 1 closes the full-screen display; back to 0 when done",
       "display_close", states=("Done", "Close")),
    Pv("CONNECTED_RBV", "bi", "Instrument answers",
       "1 while the instrument answers and puts are taken, else 0", "connected",
       states=("Disconnected", "Connected")),
)

CHANNEL_PREFIX = "CH{n}:"


def channel_name(prefix: str, n: int, pv: Pv) -> str:
    return prefix + CHANNEL_PREFIX.format(n=n) + pv.suffix


def instrument_name(prefix: str, pv: Pv) -> str:
    return prefix + pv.suffix


def names(prefix: str, channels: tuple[int, ...]) -> list[str]:
    """Every record name the IOC serves for these channels."""
    return ([instrument_name(prefix, pv) for pv in INSTRUMENT]
            + [channel_name(prefix, n, pv) for n in channels for pv in CHANNEL])


def longest_suffix() -> int:
    """Bytes the longest name adds to the prefix (with channel 255)."""
    return max([len(pv.suffix) for pv in INSTRUMENT]
               + [len(CHANNEL_PREFIX.format(n=MAX_CHANNEL) + pv.suffix) for pv in CHANNEL])


def _kind(pv: Pv) -> str:
    kind = pv.record + (f", {pv.egu}" if pv.egu else "")
    return kind + (f" ({'/'.join(pv.states)})" if pv.states else "")


def help_lines(width: int = 79) -> list[str]:
    """The PVs as --help lists them: name, record type and units, then the meaning."""
    rows = ([(CHANNEL_PREFIX.format(n="{n}") + pv.suffix, _kind(pv), pv.help) for pv in CHANNEL]
            + [(pv.suffix, _kind(pv), pv.help) for pv in INSTRUMENT])
    names = max(len(name) for name, _, _ in rows)
    lines = []
    for name, kind, text in rows:
        lines.append(f"  {name:<{names}}  {kind}")
        lines += textwrap.wrap(text, width, initial_indent=" " * 6, subsequent_indent=" " * 6)
    return lines
