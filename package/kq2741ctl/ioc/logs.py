"""The IOC's log on stderr: one line a message, repeats rate-limited.

Clients decide how often the IOC has something to say: eight of them putting
a wavelength the channel lacks as fast as they can would write hundreds of
kilobytes a second. Each kind of message (its format string) may be written
BURST times, then once per INTERVAL seconds with the count of the ones left
out since: the log says what happens and how often, at a bounded rate. A
kind is the format string and its first argument (the record a message is
about), so a flood of one client's puts does not hide another record's news.
"""
from __future__ import annotations

import logging
import reprlib
import sys
import threading
import time

BURST = 5
INTERVAL = 10.0

_repr = reprlib.Repr()
_repr.maxother = _repr.maxstring = _repr.maxlong = 40


def short(value: object) -> str:
    """A value as a log line shows it: at most about 40 characters, whatever the value."""
    return _repr.repr(value)


class RateLimit(logging.Filter):
    def __init__(self, burst: int = BURST, interval: float = INTERVAL):
        super().__init__()
        self.burst, self.interval = burst, interval
        self._lock = threading.Lock()
        self._kinds: dict[tuple[int, str, str], list] = {}  # kind -> [window start, written, left out]

    def filter(self, record: logging.LogRecord) -> bool:
        first = record.args[0] if isinstance(record.args, tuple) and record.args else None
        kind = (record.levelno, str(record.msg), str(first))
        now = time.monotonic()
        with self._lock:
            state = self._kinds.setdefault(kind, [now, 0, 0])
            if now - state[0] >= self.interval:
                left_out = state[2]
                state[:] = [now, 0, 0]
                if left_out:
                    record.msg = f"{record.msg} ({left_out} more like it in the last {self.interval:g} s not shown)"
            if state[1] >= self.burst:
                state[2] += 1
                return False
            state[1] += 1
            return True


class _Stderr(logging.StreamHandler):
    """Writes to the stderr of the moment; a closed or broken stderr loses the line, never the IOC."""

    def __init__(self) -> None:
        super().__init__(sys.stderr)

    def emit(self, record: logging.LogRecord) -> None:
        self.stream = sys.stderr
        if self.stream is None:
            return
        try:
            super().emit(record)
        except (OSError, ValueError):
            pass

    def handleError(self, record: logging.LogRecord) -> None:
        pass


def setup(verbose: bool) -> None:
    handler = _Stderr()
    # --verbose stamps each line, as kq2741ctl --verbose does, to follow frames in time.
    handler.setFormatter(logging.Formatter("kq2741-ioc [%(asctime)s] %(message)s" if verbose
                                          else "kq2741-ioc: %(message)s"))
    if not verbose:
        handler.addFilter(RateLimit())
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(logging.DEBUG if verbose else logging.WARNING)
