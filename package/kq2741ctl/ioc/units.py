"""Units and limits as the package's core exports them, and the IOC's one rule
for a value between two steps."""
from __future__ import annotations

from fractions import Fraction

try:
    from kq2741ctl import MAX_DB, MAX_TIMEOUT, STEP_DB, STEPS_PER_DB, attenuation_steps
except ImportError:  # a core from before it exported them; goes once main has them
    import math

    from kq2741ctl._grid import MAX_DB, STEP_DB

    STEPS_PER_DB = round(1 / STEP_DB)
    MAX_TIMEOUT = 3600.0

    def attenuation_steps(db, *, nearest: bool = False) -> int:
        if isinstance(db, bool) or not isinstance(db, (int, float)):
            raise TypeError(f"attenuation must be a number of dB, not {type(db).__name__}")
        if not math.isfinite(db) or not 0 <= db <= MAX_DB:
            raise ValueError(f"attenuation must be 0 to {MAX_DB} dB")
        return round(db * STEPS_PER_DB)

__all__ = ["MAX_DB", "MAX_TIMEOUT", "STEPS_PER_DB", "STEP_DB", "nearest_step"]


def nearest_step(db: float) -> Fraction:
    """The IOC's rule, as an ao record's: a value between two 0.01 dB steps
    goes to the nearest one. ValueError for NaN, infinity or a value out of range."""
    return Fraction(attenuation_steps(db, nearest=True), STEPS_PER_DB)
