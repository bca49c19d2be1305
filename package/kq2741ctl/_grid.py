"""Setpoints computed by sweep tools, put back on the instrument's 0.01 dB grid."""
from __future__ import annotations

import math
from typing import TypeVar

MAX_DB = 655.35
STEP_DB = 0.01

# A sweep computes its points (np.linspace, start + i * step), and 29 * 0.01 is
# 0.29000000000000004, not the float 0.29 that the Attenuator takes as 29
# steps. Arithmetic on numbers this size misses a step by about 1e-13 dB; a
# value typed between two steps misses by far more than this.
_ROUNDING_STEPS = 1e-7

Db = TypeVar("Db")


def nearest_step(db: Db) -> Db | float:
    """The 0.01 dB step a float misses only by rounding, else the value itself.

    Anything but a finite float is returned as it is, for the Attenuator to
    judge exactly (and refuse, saying why, before anything is sent).
    """
    if not isinstance(db, float) or not math.isfinite(db):
        return db
    steps = db * 100
    whole = round(steps)
    return whole / 100 if abs(steps - whole) <= _ROUNDING_STEPS else db
