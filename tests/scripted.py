"""A scripted instrument on a pseudo-terminal, for answers the simulator
never gives: late, noisy, refused, misshapen.

    with ScriptedInstrument([status(1, 110), (0.3, status(1, 5))]) as inst:
        ... open inst.port ...
        assert inst.requests == [...]

The n-th request is answered with replies[n]: bytes sent at once, (delay,
bytes) sent that many seconds later, or None for silence. `stale` waits on
the line before the first request; `more()` adds replies while it runs.
"""
from __future__ import annotations

import os
import select
import threading
import time
import tty


class ScriptedInstrument:
    def __init__(self, replies=(), stale: bytes = b""):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.port = os.ttyname(self.slave)
        self.replies = list(replies)
        self.requests: list[bytes] = []
        os.write(self.master, stale)
        self._lock = threading.Lock()
        self._running = True
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def more(self, *replies) -> None:
        with self._lock:
            self.replies.extend(replies)

    def _serve(self) -> None:
        buf = b""
        while self._running:
            if not select.select([self.master], [], [], 0.01)[0]:
                continue
            buf += os.read(self.master, 512)
            while len(buf) >= 3 and len(buf) >= buf[2] + 2:
                self.requests.append(buf[:buf[2] + 2])
                buf = buf[buf[2] + 2:]
                with self._lock:
                    reply = self.replies.pop(0) if self.replies else None
                if isinstance(reply, tuple):
                    delay, data = reply
                    threading.Timer(delay, os.write, (self.master, data)).start()
                elif reply:
                    os.write(self.master, reply)

    def close(self) -> None:
        self._running = False
        self._thread.join()
        time.sleep(0.01)
        os.close(self.master)
        os.close(self.slave)

    def __enter__(self) -> "ScriptedInstrument":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
