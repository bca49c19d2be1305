"""An instrument on a pseudo-terminal that answers every request in order, as
the real one does, after a delay the test controls, and can stall. Its status
answers carry the number of the request they answer in the work-mode byte, so
a test can tell whose answer a caller got:

    with InOrderInstrument(delay=0.01) as inst, Attenuator(inst.port) as att:
        inst.stall(0.5)              # the next answer, and all after it, wait
        ...
        assert att.channel(1).status().mode == inst.last_status_serial()
"""
from __future__ import annotations

import os
import select
import threading
import time
import tty

from wire import frame

STATUS, SET, VERSION, LIST = 0x1436, 0x143C, 0x0003, 0x072E


class InOrderInstrument:
    def __init__(self, delay: float = 0.0, wavelengths=(1310, 1490, 1550)):
        """delay: how long the instrument takes over each request, one after the other."""
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.port = os.ttyname(self.slave)
        self.delay = delay
        self.wavelengths = wavelengths
        self.steps = {}  # channel -> attenuation steps
        self.requests: list[tuple[int, bytes]] = []  # (serial, request)
        self._lock = threading.Lock()
        self._serial = 0
        self._next_free = 0.0  # answers never overtake each other
        self._stall_until = 0.0
        self._outbox: list[tuple[float, bytes]] = []
        self._running = True
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def stall(self, seconds: float) -> None:
        """The next answer goes out no sooner than `seconds` from now."""
        with self._lock:
            self._stall_until = time.monotonic() + seconds

    def last_status_serial(self) -> int:
        with self._lock:
            return max((s for s, r in self.requests if r[3] << 8 | r[4] == STATUS), default=-1) & 0xFF

    def _answer(self, request: bytes, serial: int) -> bytes:
        channel, code = request[1], request[3] << 8 | request[4]
        if code == STATUS:
            steps = self.steps.get(channel, 0)
            return frame(channel, request[3:5], bytes([serial & 0xFF, 0, 0, steps & 0xFF, steps >> 8]))
        if code == VERSION:
            return frame(channel, request[3:5], bytes([2, 50, 32]))
        if code == LIST:
            body = bytes([len(self.wavelengths)]) + b"".join(w.to_bytes(2, "little") for w in self.wavelengths)
            return frame(channel, request[3:5], body)
        if code == SET:
            self.steps[channel] = request[5] | request[6] << 8
        return frame(channel, request[3:5], b"\x00")

    def _serve(self) -> None:
        buf = b""
        while self._running:
            with self._lock:
                now = time.monotonic()
                while self._outbox and self._outbox[0][0] <= now:
                    os.write(self.master, self._outbox.pop(0)[1])
                wait = min(0.005, self._outbox[0][0] - now) if self._outbox else 0.005
            if not select.select([self.master], [], [], max(0.0, wait))[0]:
                continue
            try:
                buf += os.read(self.master, 512)
            except OSError:
                return
            while len(buf) >= 3 and buf[0] == 0x7B and len(buf) >= buf[2] + 2:
                request, buf = buf[:buf[2] + 2], buf[buf[2] + 2:]
                with self._lock:
                    self._serial += 1
                    self.requests.append((self._serial, request))
                    answer = self._answer(request, self._serial)
                    # One request at a time, each taking `delay` once the one before is done.
                    at = max(time.monotonic(), self._next_free, self._stall_until) + self.delay
                    self._next_free = at
                    self._outbox.append((at, answer))
            if buf and buf[0] != 0x7B:
                buf = buf[buf.find(b"\x7b"):] if b"\x7b" in buf else b""

    def close(self) -> None:
        self._running = False
        self._thread.join()
        os.close(self.master)
        os.close(self.slave)

    def __enter__(self) -> "InOrderInstrument":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
