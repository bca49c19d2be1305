"""The KQ2741 as a QCoDeS instrument (``pip install "kq2741[qcodes]"``).

    from kq2741ctl.qcodes import KQ2741

    kq = KQ2741("kq", "/dev/ttyUSB0")
    kq.ch1.wavelength(1550)
    kq.ch1.attenuation(3.5)             # returns after the acknowledgement
    print(kq.ch1.attenuation())         # 3.5, read back from the instrument
    kq.close()

Every get is one verified exchange through kq2741ctl.Attenuator, so a value
is what the instrument answered just now; a failure raises the package's
exceptions (NoAnswer, BadAnswer, Refused, ...), never a stale value or None.
"""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from qcodes import validators as vals
from qcodes.instrument import ChannelList, Instrument, InstrumentChannel
from qcodes.parameters import Parameter

from ._core import MAX_DB, STEP_DB, Attenuator, Channel, attenuation_steps

__all__ = ["KQ2741", "KQ2741Channel"]


class Attenuation(vals.Validator[Any]):
    """The values the Attenuator takes, judged by its own rule (attenuation_steps):
    0 to MAX_DB dB on the STEP_DB grid; a float a sweep computed (29 * 0.01) stands
    for the step it misses only by rounding."""

    is_numeric = True

    def __init__(self) -> None:
        self._valid_values = (0.0, MAX_DB)

    def validate(self, value: Any, context: str = "") -> None:
        try:
            attenuation_steps(value)
        except (TypeError, ValueError) as error:
            raise type(error)(f"{error}; {context}" if context else str(error)) from None

    def __repr__(self) -> str:
        return f"<Attenuation 0<=v<={MAX_DB} in steps of {STEP_DB}>"


class KQ2741Channel(InstrumentChannel):
    """One channel: ``attenuation`` (dB), ``wavelength`` (nm), ``wavelengths``."""

    def __init__(self, parent: KQ2741, name: str, channel: Channel) -> None:
        super().__init__(parent, name)
        self._channel = channel
        self.wavelengths: Parameter = self.add_parameter(
            "wavelengths",
            label="Supported wavelengths",
            unit="nm",
            get_cmd=self._read_wavelengths,
            set_cmd=False,
            docstring="The wavelengths the channel supports, read from the instrument.",
        )
        # The channel's own list, read once here; the Attenuator checks the
        # list again, from the instrument, on every selection.
        self.wavelength: Parameter = self.add_parameter(
            "wavelength",
            label="Wavelength",
            unit="nm",
            get_cmd=lambda: self._channel.wavelength,
            set_cmd=self._select,
            vals=vals.Enum(*channel.wavelengths),
            docstring="The selected wavelength; setting it selects one of `wavelengths`.",
        )
        self.attenuation: Parameter = self.add_parameter(
            "attenuation",
            label="Attenuation",
            unit="dB",
            get_cmd=lambda: self._channel.attenuation,
            set_cmd=self._set_attenuation,
            vals=Attenuation(),
            docstring=f"The attenuation, 0 to {MAX_DB} dB in {STEP_DB} dB steps; set returns after the "
            "acknowledgement, get reads it back from the instrument.",
        )

    def _read_wavelengths(self) -> tuple[int, ...]:
        nm = self._channel.wavelengths
        self.wavelength.vals = vals.Enum(*nm)
        return nm

    def _select(self, nm: Any) -> None:
        # Enum accepts 1550.0 and numpy integers; the instrument's list holds ints.
        self._channel.wavelength = int(nm)

    def _set_attenuation(self, db: Any) -> None:
        self._channel.attenuation = db

    def clear(self) -> None:
        """Clear the channel's attenuation to 0 dB."""
        self._channel.clear()

    def disconnect(self) -> None:
        """Disconnect the channel."""
        self._channel.disconnect()


class KQ2741(Instrument):
    """A KQ2741 on a serial port (a device name or a pyserial URL).

    The port is opened here and held until ``close()``; each channel in
    ``channels`` is ``kq.ch<n>`` and an entry of ``kq.channels``.
    ``timeout`` (seconds) bounds every exchange; with ``reconnect`` a lost
    port (adapter unplugged) is opened again by the first call once it is back.
    """

    def __init__(
        self,
        name: str,
        port: str,
        channels: Iterable[int] = (1, 2, 3, 4),
        timeout: float = 1.0,
        reconnect: bool = True,
        **kwargs: Any,
    ) -> None:
        numbers = tuple(channels)
        if len(set(numbers)) != len(numbers):
            raise ValueError(f"channels {numbers} name a channel twice")
        # QCoDeS refuses a name already taken only once __init__ has
        # finished, with the port already open.
        if Instrument.exist(name):
            raise KeyError(f"Another instrument has the name: {name}")
        self._attenuator = Attenuator(port, timeout=timeout, reconnect=reconnect)
        super().__init__(name, **kwargs)
        self._attenuator.open()
        try:
            # add_submodule returns nothing in QCoDeS 0.50 (the oldest taken):
            # the channels are reached through QCoDeS's attribute delegation.
            chans: ChannelList[KQ2741Channel] = ChannelList(self, "channels", KQ2741Channel)
            for n in numbers:
                channel = KQ2741Channel(self, f"ch{n}", self._attenuator.channel(n))
                self.add_submodule(f"ch{n}", channel)
                chans.append(channel)
            chans.lock()
            self.add_submodule("channels", chans)
            self.connect_message()
        except BaseException:
            self._attenuator.close()
            raise

    def get_idn(self) -> dict[str, str | None]:
        """Model and firmware (module.hardware.software), read from the instrument.

        The instrument reports neither its maker nor a serial number: those
        are None. A silent instrument raises NoAnswer.
        """
        v = self._attenuator.version
        return {"vendor": None, "model": "KQ2741", "serial": None, "firmware": f"{v.module}.{v.hardware}.{v.software}"}

    def close_display(self) -> None:
        """Take the instrument's display out of full-screen mode."""
        self._attenuator.close_display()

    @property
    def attenuator(self) -> Attenuator:
        """The kq2741ctl.Attenuator every exchange goes through."""
        return self._attenuator

    def close(self) -> None:
        """Release the port, then everything QCoDeS holds for the instrument."""
        attenuator = getattr(self, "_attenuator", None)
        if attenuator is not None:
            attenuator.close()
        super().close()
