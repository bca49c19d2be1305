"""The instrument's units and limits as the package core states them.

Cores built before the limits were exported keep them in the package's
sweep helper, with the rule that puts a float a sweep computed back on the
step it misses only by rounding; newer cores apply that rule themselves.
"""
from __future__ import annotations

from typing import Any

try:
    from kq2741ctl import MAX_DB, STEP_DB  # type: ignore[attr-defined]
except ImportError:
    from kq2741ctl._grid import MAX_DB, STEP_DB, nearest_step

    def on_grid(db: Any) -> Any:
        return nearest_step(db)
else:
    def on_grid(db: Any) -> Any:
        return db

__all__ = ["MAX_DB", "STEP_DB", "on_grid"]
