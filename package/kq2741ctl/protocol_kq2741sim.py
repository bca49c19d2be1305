"""pyserial's URL ``kq2741sim://``: a simulated KQ2741 inside this process.

    Attenuator("kq2741sim://?channels=8&delay_ms=2")
    serial.serial_for_url("kq2741sim://bench?wavelengths=1550,1625&corrupt")

It is the instrument model of ``kq2741-sim`` (the same C++, in
``kq2741ctl._simulator``) without the pseudo-terminal, so it runs wherever
the package does, Windows and macOS included. The query takes the program's
options by the same names (``-`` or ``_``): ``channels``, ``wavelengths``,
``channel_wavelengths`` (``CH=W1,W2``, repeatable), ``device_version``,
``delay_ms``, ``split``, ``silent``, ``corrupt`` (a flag alone, ``=1`` or
``=true`` is on), ``corrupt_rate``, ``drop_rate`` and ``seed``.

Without a name each open makes a new instrument. A name (``kq2741sim://bench``)
keeps one instrument for the life of the process: a later open of the same
name finds it as it was left, as a port on the desk would, and while it is
open nobody else can open it. Importing ``kq2741ctl`` registers the handler
(``serial.protocol_handler_packages``).
"""
from __future__ import annotations

import json
import threading
import time
from typing import Any

from serial.serialutil import PortNotOpenError, SerialBase, SerialException

from ._simulator import Instrument

_FORM = "kq2741sim://[NAME][?option=value&flag&...]"

# Named instruments, kept for the life of the process, and the names open now.
_named: dict[str, tuple[tuple[tuple[str, str], ...], Instrument]] = {}
_open_names: set[str] = set()
_named_lock = threading.Lock()


def parse_url(url: str) -> tuple[str, tuple[tuple[str, str], ...]]:
    """(name, settings) of a kq2741sim:// URL; SerialException for anything else.

    Read here rather than by urllib.parse, which imports ipaddress: that
    module's ints carry digits memcheck sees as uninitialised, and the
    hardening checks run this under valgrind.
    """
    scheme, sep, rest = url.partition("://")
    where, _, query = rest.partition("?")
    name, _, path = where.partition("/")
    if not sep or scheme.lower() != "kq2741sim" or path or "#" in rest:
        raise SerialException(f"expected {_FORM}, got {url!r}")
    pairs = (field.partition("=") for field in query.split("&") if field)
    return name, tuple((_unquote(key).replace("_", "-"), _unquote(value)) for key, _, value in pairs)


def _unquote(text: str) -> str:
    """%XX escapes decoded as UTF-8 (what cannot be, replaced); the rest as it is."""
    if "%" not in text:
        return text
    head, *escaped = text.split("%")
    out = bytearray(head.encode(errors="surrogatepass"))
    for part in escaped:
        try:
            out += bytes.fromhex(part[:2])
        except ValueError:
            out += b"%" + part[:2].encode(errors="surrogatepass")
        out += part[2:].encode(errors="surrogatepass")
    return out.decode(errors="replace")


def _make(settings: tuple[tuple[str, str], ...]) -> Instrument:
    try:
        return Instrument(settings)
    except ValueError as e:
        raise SerialException(f"kq2741sim://: {e}") from None


class Serial(SerialBase):
    """The host's end of a line to a simulated KQ2741."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self._instrument: Instrument | None = None
        self._name = ""
        # Readers wait on it for an answer to come due; writers and close wake them.
        self._arrival = threading.Condition(threading.Lock())
        self._cancelled = False
        super().__init__(*args, **kwargs)

    def open(self) -> None:
        if self.is_open:
            raise SerialException("Port is already open.")
        if self.port is None:
            raise SerialException("Port must be configured before it can be used.")
        name, settings = parse_url(self.port)
        if not name:
            self._instrument = _make(settings)
        else:
            with _named_lock:
                if name in _open_names:
                    raise SerialException(f"kq2741sim://{name} is already open")
                made = _named.get(name)
                if made is None:
                    made = _named[name] = (settings, _make(settings))
                elif settings and made[0] != settings:
                    raise SerialException(f"kq2741sim://{name} was made with other settings: {made[0]}")
                _open_names.add(name)
            self._instrument = made[1]
            self._name = name
        self.is_open = True

    def close(self) -> None:
        if not self.is_open:
            return
        self.is_open = False
        assert self._instrument is not None
        with self._arrival:
            self._instrument.hang_up()
            self._arrival.notify_all()
        if self._name:
            with _named_lock:
                _open_names.discard(self._name)
        self._instrument = None

    def _line(self) -> Instrument:
        instrument = self._instrument
        if not self.is_open or instrument is None:
            raise PortNotOpenError()
        return instrument

    def _reconfigure_port(self, *args: Any) -> None:
        """The line settings do not matter in-process."""

    @property
    def in_waiting(self) -> int:
        return self._line().in_waiting

    def read(self, size: int = 1) -> bytes:
        line = self._line()
        data = line.read(size)
        if len(data) >= size or self.timeout == 0:
            return data
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        with self._arrival:
            self._cancelled = False
            while len(data) < size and self.is_open and not self._cancelled:
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    break
                due = line.next_due()
                wait = left if due is None or (left is not None and due > left) else due
                if wait is None or wait > 0:
                    self._arrival.wait(wait)
                data += line.read(size - len(data))
        return data

    def write(self, data: Any) -> int:
        line = self._line()
        if isinstance(data, (str, int)):
            raise TypeError(f"write() takes bytes or a sequence of byte values, not {type(data).__name__}")
        if not isinstance(data, (bytes, bytearray, memoryview)):
            data = bytes(data)  # a list of byte values, as pyserial takes
        with self._arrival:
            written = line.write(data)
            self._arrival.notify_all()
        return written

    def flush(self) -> None:
        self._line()

    def reset_input_buffer(self) -> None:
        self._line().reset_input()

    def reset_output_buffer(self) -> None:
        self._line()

    def cancel_read(self) -> None:
        with self._arrival:
            self._cancelled = True
            self._arrival.notify_all()

    # No modem lines: the simulated instrument ignores them and always looks present.
    def _update_break_state(self) -> None:
        self._line()

    def _update_rts_state(self) -> None:
        self._line()

    def _update_dtr_state(self) -> None:
        self._line()

    @property
    def cts(self) -> bool:
        self._line()
        return True

    @property
    def dsr(self) -> bool:
        self._line()
        return True

    @property
    def ri(self) -> bool:
        self._line()
        return False

    @property
    def cd(self) -> bool:
        self._line()
        return True

    def state(self) -> dict[str, Any]:
        """The instrument's state, as kq2741-sim writes its --state-file."""
        state: dict[str, Any] = json.loads(self._line().state())
        return state
