"""The instrument as the pages see it: the port on a thread of its own, and what it last reported.

Every exchange runs on one worker thread, in the order asked, so the event
loop never waits for the line and a read-back is never overtaken by an
older one. What an exchange reports is taken in on the loop as soon as it
ends, whether or not the request that asked for it is still waiting (a
browser that went away does not lose the others their update), and every
change is published to the pages.

A poller reads each channel's status every POLL seconds: the instrument is
the truth, whoever changed it. While it does not answer the poller reads
the whole instrument again until it does: the version, the wavelength
lists (it may have been swapped) and the statuses.
"""
from __future__ import annotations

import asyncio
import contextlib
import logging
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from functools import partial
from typing import Any, Callable

import serial

from kq2741ctl import MAX_DB, STEP_DB, Attenuator, InstrumentError, NoAnswer, PortBusy, Status, Version

from .hub import Hub

POLL = 0.2  # seconds between rounds: a change shows within half a second

log = logging.getLogger("kq2741ctl.panel")


class Lost(Exception):
    """The instrument does not answer, or its port is gone: the request was not sent."""


def lost_contact(error: BaseException) -> bool:
    """True when the instrument is silent, the port failed or another program
    took it when it came back; False when the instrument answered but refused
    or garbled (it is still there)."""
    if isinstance(error, (NoAnswer, PortBusy)):
        return True
    return isinstance(error, (serial.SerialException, OSError)) and not isinstance(error, InstrumentError)


@dataclass
class ChannelState:
    number: int
    wavelengths: tuple[int, ...] = ()
    status: Status | None = None

    def as_json(self) -> dict[str, Any]:
        status = self.status
        index = status.wavelength_index if status else -1
        return {
            "number": self.number,
            "wavelengths": list(self.wavelengths),
            # None for an index beyond the list: there is no wavelength to show.
            "wavelength": self.wavelengths[index] if 0 <= index < len(self.wavelengths) else None,
            "wavelength_index": status.wavelength_index if status else None,
            "attenuation": status.attenuation if status else None,
            "mode": status.mode if status else None,
        }


@dataclass
class Report:
    """What one job on the port learnt. `whole`: everything was read, so the
    instrument is known to answer and its lists are fresh."""
    statuses: dict[int, Status] = field(default_factory=dict)
    wavelengths: dict[int, tuple[int, ...]] = field(default_factory=dict)
    version: Version | None = None
    actions: list[tuple[int | None, str]] = field(default_factory=list)
    whole: bool = False


def read_status(att: Attenuator, n: int) -> Report:
    return Report(statuses={n: att.channel(n).status()})


def read_whole(att: Attenuator, channels: tuple[int, ...]) -> Report:
    report = Report(version=att.version, whole=True)
    for n in channels:
        channel = att.channel(n)
        report.wavelengths[n] = channel.wavelengths
        report.statuses[n] = channel.status()
    return report


class Instrument:
    def __init__(self, att: Attenuator, channels: tuple[int, ...], hub: Hub, poll: float = POLL):
        self.att = att
        self.hub = hub
        self.poll = poll
        self.connected = False
        self.version: Version | None = None
        self.channels = {n: ChannelState(n) for n in channels}
        self._worker = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kq2741-port")
        self._poller: asyncio.Task | None = None
        self._last_failure = ""

    # --- the port, one job at a time, off the loop ---------------------------

    async def _run(self, job: Callable[[Attenuator], Report]) -> Report:
        loop = asyncio.get_running_loop()
        future = loop.run_in_executor(self._worker, job, self.att)
        future.add_done_callback(self._take)
        # A cancelled request leaves the job to finish and its report to be taken in.
        return await asyncio.shield(future)

    def _take(self, future: asyncio.Future) -> None:
        if future.cancelled():
            return
        error = future.exception()
        if error is None:
            self._apply(future.result())
        elif lost_contact(error):
            self._lose(error)

    def _apply(self, report: Report) -> None:
        if report.whole:
            self.version = report.version
            for n, wavelengths in report.wavelengths.items():
                self.channels[n].wavelengths = wavelengths
            for n, status in report.statuses.items():
                self.channels[n].status = status
            if self._last_failure:
                log.warning("the instrument answers again on %s", self.att.port)
            self.connected = True
            self._last_failure = ""
            self.hub.publish(self.snapshot())
        elif self.connected:  # else a whole read comes first
            for n, status in report.statuses.items():
                channel = self.channels[n]
                if status != channel.status:
                    channel.status = status
                    self.hub.publish({"type": "channel", "channel": channel.as_json()})
        for number, action in report.actions:
            self.hub.publish({"type": "action", "channel": number, "action": action})

    def _lose(self, error: BaseException) -> None:
        self._last_failure = str(error)
        if self.connected:
            self.connected = False
            log.error("lost the instrument: %s", error)
            self.hub.publish({"type": "connection", "connected": False, "reason": str(error)})

    # --- what the pages see --------------------------------------------------

    def snapshot(self) -> dict[str, Any]:
        v = self.version
        return {
            "type": "snapshot",
            "connected": self.connected,
            "port": self.att.port,
            "version": f"{v.module}.{v.hardware}.{v.software}" if v else None,
            "max_db": MAX_DB,
            "step_db": STEP_DB,
            "channels": [channel.as_json() for channel in self.channels.values()],
        }

    # --- reading -------------------------------------------------------------

    async def first_look(self) -> BaseException | None:
        """Reads the whole instrument once; the failure, if it did not answer."""
        try:
            await self._run(lambda att: read_whole(att, tuple(self.channels)))
        except (serial.SerialException, OSError) as error:
            self._last_failure = str(error)
            return error
        return None

    async def silent_channel(self) -> int | None:
        """After a first look without an answer: a channel that stays silent
        while the instrument itself answers (a --channels mistake), or None."""
        def job(att: Attenuator) -> int | None:
            try:
                att.version
                for n in self.channels:
                    try:
                        att.channel(n).status()
                    except NoAnswer:
                        return n
            except (serial.SerialException, OSError):
                pass
            return None
        return await asyncio.get_running_loop().run_in_executor(self._worker, job, self.att)

    def start(self) -> None:
        self._poller = asyncio.get_running_loop().create_task(self._poll(), name="kq2741-poller")

    async def _poll(self) -> None:
        while True:
            if self.connected:
                for n in self.channels:
                    if not self.connected:
                        break
                    await self._quietly(partial(read_status, n=n))
            else:  # the Attenuator opens the port again once it is back under its name
                await self._quietly(lambda att: read_whole(att, tuple(self.channels)))
            await asyncio.sleep(self.poll)

    async def _quietly(self, job: Callable[[Attenuator], Report]) -> None:
        try:
            await self._run(job)
        except (serial.SerialException, OSError) as error:
            if str(error) != self._last_failure:  # once per reason, not five times a second
                self._last_failure = str(error)
                log.warning("the instrument: %s", error)

    async def stop(self) -> None:
        """Ends the poller; the port's thread ends after the exchange it is in."""
        if self._poller is not None:
            self._poller.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._poller
        await asyncio.get_running_loop().run_in_executor(None, lambda: self._worker.shutdown(cancel_futures=True))

    # --- writing: each returns the channel as read back ---------------------

    async def _write(self, n: int | None, act: Callable[[Attenuator], None], action: str | None) -> dict[str, Any]:
        if not self.connected:
            raise Lost("the instrument does not answer")

        def job(att: Attenuator) -> Report:
            act(att)
            report = Report(actions=[(n, action)] if action else [])
            if n is not None:
                report.statuses[n] = att.channel(n).status()
            return report

        try:
            await self._run(job)
        except (serial.SerialException, OSError) as error:
            if lost_contact(error):
                raise Lost(str(error)) from error
            raise
        return self.channels[n].as_json() if n is not None else {}

    async def set_attenuation(self, n: int, db: Any) -> dict[str, Any]:
        return await self._write(n, lambda att: setattr(att.channel(n), "attenuation", db), None)

    async def select_wavelength(self, n: int, nm: Any) -> dict[str, Any]:
        return await self._write(n, lambda att: setattr(att.channel(n), "wavelength", nm), None)

    async def clear(self, n: int) -> dict[str, Any]:
        return await self._write(n, lambda att: att.channel(n).clear(), "cleared")

    async def disconnect(self, n: int) -> dict[str, Any]:
        return await self._write(n, lambda att: att.channel(n).disconnect(), "disconnected")

    async def close_display(self) -> None:
        await self._write(None, lambda att: att.close_display(), "display closed")
