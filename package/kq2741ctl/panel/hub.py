"""Every change, to every page that listens; no page waits for another.

Each page has a queue of its own. A message is encoded once and put on every
queue without waiting, so a page whose connection stalls costs its own queue
and nothing else; when that queue is full the page is dropped (its script
connects again and starts from a fresh snapshot) instead of holding memory
for it.
"""
from __future__ import annotations

import asyncio
import json
from typing import Any

BACKLOG = 1024  # messages a page may fall behind: ten 100-point sweeps of every channel of 4


class Subscription:
    """One page's queue: messages as JSON text, then None once it is dropped or the server stops."""

    def __init__(self, backlog: int):
        self.queue: asyncio.Queue[str | None] = asyncio.Queue(backlog)
        self.reason = ""

    def end(self, reason: str) -> None:
        if self.reason:
            return
        self.reason = reason
        while not self.queue.empty():  # what it missed no longer matters: it starts again
            self.queue.get_nowait()
        self.queue.put_nowait(None)


class Hub:
    def __init__(self, backlog: int = BACKLOG):
        self.backlog = backlog
        self.seq = 0  # of the last message published
        self._subscriptions: set[Subscription] = set()

    def subscribe(self) -> Subscription:
        subscription = Subscription(self.backlog)
        self._subscriptions.add(subscription)
        return subscription

    def unsubscribe(self, subscription: Subscription) -> None:
        self._subscriptions.discard(subscription)

    def __len__(self) -> int:
        return len(self._subscriptions)

    def publish(self, message: dict[str, Any]) -> None:
        self.seq += 1
        text = json.dumps({**message, "seq": self.seq}, separators=(",", ":"))
        for subscription in list(self._subscriptions):
            try:
                subscription.queue.put_nowait(text)
            except asyncio.QueueFull:
                self._subscriptions.discard(subscription)
                subscription.end("fell too far behind")

    def close(self) -> None:
        """Ends every page's stream: the server is stopping."""
        for subscription in self._subscriptions:
            subscription.end("the panel is stopping")
        self._subscriptions.clear()
