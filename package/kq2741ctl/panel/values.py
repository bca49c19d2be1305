"""What a browser sends, made into what the Attenuator takes; the Attenuator judges it.

A typed attenuation is read as the exact decimal it spells (``0.29`` is 29
steps, never a float near it), then handed to the Attenuator, whose verdict
and message the page shows. Anything else a request carries goes to the
Attenuator as JSON gave it (a wavelength must be an int there).
"""
from __future__ import annotations

from decimal import Decimal, InvalidOperation
from typing import Any

__all__ = ["attenuation"]


def _shown(text: str, limit: int = 40) -> str:
    """Text as a message quotes it, cut short: a refusal fits beside its field."""
    return repr(text if len(text) <= limit else text[:limit - 3] + "...")


def attenuation(value: Any) -> Any:
    """The value a request gave for an attenuation, as the Attenuator should judge it.

    Text is read as a Decimal (ValueError when it is none); every other value
    is passed on as it came, for the Attenuator to take or refuse.
    """
    if isinstance(value, str):
        text = value.strip()
        if not text:
            raise ValueError("type an attenuation in dB")
        try:
            value = Decimal(text)
        except InvalidOperation:
            raise ValueError(f"{_shown(text)} is not a number of dB") from None
    return value

