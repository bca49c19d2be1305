"""kq2741ctl.aio and the bluesky device on it, against the simulator and the
in-order instrument: awaitables that keep the loop free, take turns on one
instrument, run two in parallel, survive cancellation, and a device whose
refused or failed moves fail the plan."""
from __future__ import annotations

import asyncio
import time

import pytest
from bluesky import RunEngine
from bluesky import plan_stubs as bps
from bluesky import plans as bp
from bluesky.callbacks.best_effort import BestEffortCallback
from bluesky.utils import FailedStatus
from ophyd_async.core import NotConnectedError
from ophyd_async.plan_stubs import ensure_connected

from inorder import InOrderInstrument
from kq2741ctl import Status, Version
from kq2741ctl.aio import Attenuator
from kq2741ctl.ophyd import KQ2741
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-sim")


@pytest.fixture(scope="module")
def sim():
    with Simulator("--channels", 8, "--channel-wavelengths", "2=1310,1550") as s:
        yield s


def test_every_operation_awaited(sim):
    async def main():
        async with Attenuator(sim.port, timeout=0.5) as att:
            ch = att.channel(2)
            await ch.set_wavelength(1550)
            await ch.set_attenuation(4.25)
            got = (await att.get_version(), await ch.get_wavelengths(), await ch.get_wavelength(),
                   await ch.get_attenuation(), await ch.status())
            await ch.clear()
            await ch.disconnect()
            await att.close_display()
            return got

    assert asyncio.run(main()) == (Version(2, 50, 32), (1310, 1550), 1550, 4.25, Status(0, 1, 4.25))
    assert sim.state()["channels"][1]["connected"] is False


@pytest.mark.parametrize("call, error", [
    (lambda ch: ch.set_attenuation(0.295), ValueError), (lambda ch: ch.set_wavelength(1490), ValueError),
    (lambda ch: ch.set_attenuation("3"), TypeError),
])
def test_refusals_raise_in_the_awaiting_task_and_send_nothing_set(sim, call, error):
    async def main():
        async with Attenuator(sim.port) as att:
            before = sim.state()["channels"][1]
            with pytest.raises(error):
                await call(att.channel(2))
            assert sim.state()["channels"][1] == before

    asyncio.run(main())


def test_gathered_channels_take_turns_and_the_loop_stays_free():
    # 8 reads of 20 ms each on one instrument: one at a time (>= 160 ms),
    # while a ticker on the loop keeps running.
    with InOrderInstrument(delay=0.02) as inst:
        async def main():
            async with Attenuator(inst.port) as att:
                ticks = 0

                async def tick():
                    nonlocal ticks
                    while True:
                        await asyncio.sleep(0.001)
                        ticks += 1

                ticker = asyncio.create_task(tick())
                started = time.monotonic()
                statuses = await asyncio.gather(*(att.channel(n).status() for n in range(1, 9)))
                took = time.monotonic() - started
                ticker.cancel()
                return statuses, took, ticks

        statuses, took, ticks = asyncio.run(main())
    assert took >= 0.16 and ticks > 50
    assert sorted(s.mode for s in statuses) == list(range(1, 9))  # each its own answer


def test_two_instruments_work_in_parallel():
    with Simulator("--delay-ms", 100) as one, Simulator("--delay-ms", 100) as two:
        async def main():
            async with Attenuator(one.port) as a, Attenuator(two.port) as b:
                started = time.monotonic()
                await asyncio.gather(a.channel(1).status(), b.channel(1).status())
                return time.monotonic() - started

        assert asyncio.run(main()) < 0.19  # 0.2 s one after the other


def test_a_cancelled_exchange_leaves_the_next_call_its_own_answer():
    with InOrderInstrument(delay=0.1) as inst:
        async def main():
            async with Attenuator(inst.port, timeout=1) as att:
                ch = att.channel(1)
                task = asyncio.create_task(ch.status())
                await asyncio.sleep(0.03)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
                status = await ch.status()
                return status, inst.last_status_serial()

        status, last = asyncio.run(main())
    assert status.mode == last == 2


def test_device_scan_records_read_backs_and_a_refused_move_fails_the_plan(sim, capsys):
    RE = RunEngine({})
    kq = KQ2741(sim.port, channels=(1, 2), name="kq")
    RE(ensure_connected(kq))
    events = []
    RE(bp.scan([kq.ch2], kq.ch1.attenuation, 0, 2, 5), lambda name, doc: events.append(doc) if name == "event" else None)
    assert [e["data"]["kq-ch1-attenuation"] for e in events] == [0, 0.5, 1, 1.5, 2]
    assert sim.state()["channels"][0]["attenuation_steps"] == 200
    bec = BestEffortCallback()
    bec.disable_plots()
    RE.subscribe(bec)
    RE(bp.count([kq.ch1], 2))
    assert "kq-ch1-attenuation" in capsys.readouterr().out
    for signal, value, says in ((kq.ch2.wavelength, 1490, "does not support 1490 nm"),
                                (kq.ch1.attenuation, 0.295, "between two")):
        with pytest.raises(FailedStatus) as failed:
            RE(bps.mv(signal, value))
        assert isinstance(failed.value.__cause__, ValueError) and says in str(failed.value.__cause__)
    kq.attenuator.sync.close()


def test_device_on_a_silent_instrument_fails_to_connect():
    with Simulator("--silent") as mute:
        RE = RunEngine({})
        kq = KQ2741(mute.port, channels=(1,), name="kq", timeout=0.1)
        with pytest.raises(NotConnectedError, match="NoAnswer: no complete answer to version"):
            RE(ensure_connected(kq))
        kq.attenuator.sync.close()
