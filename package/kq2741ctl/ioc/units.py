"""Units and limits as the package's core exports them, and the IOC's one rule
for a value between two steps."""
from __future__ import annotations

from fractions import Fraction

from kq2741ctl import MAX_DB, MAX_TIMEOUT, STEP_DB, STEPS_PER_DB, attenuation_steps

__all__ = ["MAX_DB", "MAX_TIMEOUT", "STEPS_PER_DB", "STEP_DB", "nearest_step"]


def nearest_step(db: float) -> Fraction:
    """The IOC's rule, as an ao record's: a value between two 0.01 dB steps
    goes to the nearest one. ValueError for NaN, infinity or a value out of range."""
    return Fraction(attenuation_steps(db, nearest=True), STEPS_PER_DB)
