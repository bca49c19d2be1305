"""The KQ2741 as a PyMeasure instrument (``pip install "kq2741[pymeasure]"``).

    from kq2741ctl.pymeasure import KQ2741

    with KQ2741("/dev/ttyUSB0") as kq:
        kq.ch_1.wavelength = 1550
        kq.ch_1.attenuation = 3.5           # returns after the acknowledgement
        print(kq.ch_1.attenuation)          # 3.5, read back from the instrument

The instrument speaks binary frames, not text, so the channels' settings are
plain properties over kq2741ctl.Attenuator rather than Instrument.control
strings: there is no command text to format and no reply text to parse, and
each read is one verified exchange. A value is checked before anything is
sent: a wavelength against the channel's list (strict_discrete_set), an
attenuation by the Attenuator's own rule (kq2741ctl.attenuation_steps); the adapter's
connection is the Attenuator, and its text write and read are not available.
"""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any

# PyMeasure ships no type information; its classes are Any to mypy.
from pymeasure.adapters import Adapter  # type: ignore[import-untyped]
from pymeasure.instruments import Channel as PyMeasureChannel  # type: ignore[import-untyped]
from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_discrete_set  # type: ignore[import-untyped]

from ._core import Attenuator, Channel

__all__ = ["AttenuatorAdapter", "KQ2741", "KQ2741Channel"]


class AttenuatorAdapter(Adapter):
    """PyMeasure's adapter around an Attenuator, which frames, sends and
    verifies every exchange itself; closing the adapter releases the port."""

    def __init__(self, attenuator: Attenuator, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.connection = attenuator


class KQ2741Channel(PyMeasureChannel):
    """One channel (``kq.ch_1``): attenuation in dB, wavelength in nm."""

    def __init__(self, parent: KQ2741, id: int, **kwargs: Any) -> None:
        super().__init__(parent, id, **kwargs)
        self._channel: Channel = parent.attenuator.channel(id)
        # The channel's own list, read once here, lets a wavelength it lacks
        # be refused before anything is sent; the Attenuator reads the list
        # again, from the instrument, for every selection.
        self._wavelength_values = self._channel.wavelengths

    @property
    def attenuation(self) -> float:
        """Control the attenuation in dB, 0 to kq2741ctl.MAX_DB in STEP_DB steps,
        read back from the instrument; setting it returns after the acknowledgement.
        A value off that grid is refused (ValueError) before anything is sent."""
        return self._channel.attenuation

    @attenuation.setter
    def attenuation(self, db: Any) -> None:
        self._channel.attenuation = db

    @property
    def wavelength(self) -> int:
        """Control the selected wavelength in nm, one of `wavelengths`."""
        return self._channel.wavelength

    @wavelength.setter
    def wavelength(self, nm: int) -> None:
        self._channel.wavelength = int(strict_discrete_set(nm, self._wavelength_values))

    @property
    def wavelengths(self) -> tuple[int, ...]:
        """Get the wavelengths in nm the channel supports."""
        self._wavelength_values = self._channel.wavelengths
        return self._wavelength_values

    def clear(self) -> None:
        """Clear the channel's attenuation to 0 dB."""
        self._channel.clear()

    def disconnect(self) -> None:
        """Disconnect the channel."""
        self._channel.disconnect()


class KQ2741(Instrument):
    """A KQ2741 on a serial port (a device name or a pyserial URL).

    The port is opened here and held until ``shutdown()``; each channel in
    ``channels`` is ``kq.ch_<n>`` and ``kq.channels[n]``. ``timeout``
    (seconds) bounds every exchange; with ``reconnect`` a lost port (adapter
    unplugged) is opened again by the first call once it is back.
    """

    def __init__(
        self,
        port: str,
        channels: Iterable[int] = (1, 2, 3, 4),
        timeout: float = 1.0,
        name: str = "KQ2741 optical attenuator",
        reconnect: bool = True,
    ) -> None:
        numbers = tuple(channels)
        if len(set(numbers)) != len(numbers):
            raise ValueError(f"channels {numbers} name a channel twice")
        attenuator = Attenuator(port, timeout=timeout, reconnect=reconnect)
        attenuator.open()
        try:
            super().__init__(AttenuatorAdapter(attenuator), name, includeSCPI=False)
            for n in numbers:
                self.add_child(KQ2741Channel, n)
        except BaseException:
            attenuator.close()
            raise

    @property
    def attenuator(self) -> Attenuator:
        """The kq2741ctl.Attenuator every exchange goes through."""
        return self.adapter.connection

    def close_display(self) -> None:
        """Take the instrument's display out of full-screen mode."""
        self.attenuator.close_display()

    def shutdown(self) -> None:
        """Release the port."""
        self.adapter.close()
        super().shutdown()
