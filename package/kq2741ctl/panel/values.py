"""What a browser sends, made into what the Attenuator takes; the Attenuator judges it.

A typed attenuation is read as the exact decimal it spells (``0.29`` is 29
steps, never a float near it), then handed to the Attenuator, whose verdict
and message the page shows. Anything else a request carries goes to the
Attenuator as JSON gave it (a wavelength must be an int there).
"""
from __future__ import annotations

from decimal import Decimal, InvalidOperation
from typing import Any

try:
    from kq2741ctl import MAX_DB, STEP_DB
except ImportError:  # a core from before it exported its units
    from kq2741ctl._grid import MAX_DB, STEP_DB

__all__ = ["MAX_DB", "STEP_DB", "attenuation", "shown"]

# The Attenuator judges a Decimal by its exact ratio of integers: for
# 1e-999999999 a power of ten with a billion digits, which would hold the
# interpreter for hours. A value whose last significant digit lies this far
# from the point is never on the grid from 0 to MAX_DB, so it is refused here.
_FARTHEST_DIGIT = 1000


def shown(text: str, limit: int = 40) -> str:
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
            raise ValueError(f"{shown(text)} is not a number of dB") from None
    if isinstance(value, Decimal) and value.is_finite():
        _within_reach(value)
    return value


def _within_reach(number: Decimal) -> None:
    sign, digits, exponent = number.as_tuple()
    assert isinstance(exponent, int)
    significant = len(digits)
    while significant and digits[significant - 1] == 0:
        significant -= 1
    if not significant:
        return  # zero, whatever its exponent
    last_digit = exponent + len(digits) - significant
    if -_FARTHEST_DIGIT <= last_digit <= _FARTHEST_DIGIT:
        return
    text = f"Decimal({shown(str(number))})"  # as the Attenuator's own messages name a Decimal
    if sign:
        raise ValueError(f"attenuation {text} dB is negative: the instrument sets 0 to {MAX_DB} dB")
    if last_digit > 0:
        raise ValueError(f"attenuation {text} dB is above {MAX_DB} dB, the most the instrument sets")
    raise ValueError(f"attenuation {text} dB lies between two {STEP_DB} dB steps: the instrument sets whole steps")
