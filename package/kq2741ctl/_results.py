"""What the instrument reports, as named tuples."""
from __future__ import annotations

from typing import NamedTuple


class Version(NamedTuple):
    module: int
    hardware: int
    software: int


class Status(NamedTuple):
    mode: int
    wavelength_index: int
    attenuation: float  # dB
