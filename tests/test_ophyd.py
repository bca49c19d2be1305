"""kq2741ctl.ophyd.KQ2741Epics in bluesky plans, over PV Access (PVI) and Channel Access."""
from __future__ import annotations

import signal
import time

import pytest

from epics import Ioc, on_loopback, until
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-ioc", "kq2741-sim")

bluesky = pytest.importorskip("bluesky")
from bluesky import RunEngine  # noqa: E402
from bluesky import plan_stubs as bps  # noqa: E402
from bluesky import plans as bp  # noqa: E402
from bluesky.callbacks.best_effort import BestEffortCallback  # noqa: E402
from ophyd_async.plan_stubs import ensure_connected  # noqa: E402

from kq2741ctl.ophyd import KQ2741Epics, KQ2741EpicsChannel, Refused  # noqa: E402

PROTOCOLS = ["O:", "ca://O:"]


@pytest.fixture(scope="module")
def served():
    with on_loopback(servers=1) as ports:
        with Simulator("--channels", 2, "--channel-wavelengths", "2=1310,1550") as sim:
            with Ioc("-p", sim.port, "--prefix", "O:", "--channels", "1-2", env=ports.server(0)) as ioc:
                yield sim, ioc
                assert ioc.stop() == 0


@pytest.fixture(scope="module")
def RE(served):
    engine = RunEngine({}, call_returns_result=True)
    yield engine
    from aioca import purge_channel_caches

    purge_channel_caches()  # no Channel Access channel left to call into the engine's loop


def device(RE, prefix):
    kq = KQ2741Epics(prefix, name="kq", channels=(1, 2))
    RE(ensure_connected(kq))
    return kq


def refusal(failure) -> str:
    """The words of the Refused a failed move's status ended with."""
    cause = failure.value.__cause__
    assert isinstance(cause, Refused), repr(failure.value)
    return str(cause)


def steps(sim, n):
    return sim.state()["channels"][n - 1]


def test_pvi_gives_every_signal_without_a_name_written(RE, served):
    kq = device(RE, "O:")
    assert sorted(kq.ch) == [1, 2] and kq.ch1 is kq.ch[1] and isinstance(kq.ch[2], KQ2741EpicsChannel)
    assert kq.ch[1].attenuation.source.endswith("O:CH1:ATT_RBV")
    # The table's other entries come with it.
    assert {"wavelengths", "mode", "clear", "disconnect"} <= {name for name, _ in kq.ch[1].children()}
    assert RE(bps.rd(kq.version)).plan_result == "2.50.32"
    with pytest.raises(AttributeError):
        kq.ch3


@pytest.mark.parametrize("prefix", PROTOCOLS)
def test_moves_complete_with_the_instrument_holding_the_value(RE, served, prefix):
    sim, _ = served
    kq = device(RE, prefix)
    RE(bps.mv(kq.ch1.attenuation, 3.456, kq.ch2.wavelength, 1550))
    assert steps(sim, 1)["attenuation_steps"] == 346 and steps(sim, 2)["wavelength_index"] == 1
    assert RE(bps.rd(kq.ch1.attenuation)).plan_result == pytest.approx(3.46)


@pytest.mark.parametrize("prefix", PROTOCOLS)
@pytest.mark.parametrize("setting, value, says", [
    ("wavelength", 1625, "O:CH2:WL = 1625 was refused: 1625 nm is not in WLS_RBV"),
    ("attenuation", float("nan"), "O:CH2:ATT = nan was refused: NaN is no attenuation"),
])
def test_a_refused_move_fails_the_plan(RE, served, prefix, setting, value, says):
    sim, _ = served
    kq = device(RE, prefix)
    before = steps(sim, 2)
    with pytest.raises(Exception) as failure:
        RE(bps.mv(getattr(kq.ch2, setting), value))
    assert refusal(failure) == says
    assert steps(sim, 2) == before


@pytest.mark.parametrize("prefix", PROTOCOLS)
def test_a_move_while_the_instrument_is_lost_fails_the_plan(RE, served, prefix):
    sim, ioc = served
    kq = device(RE, prefix)
    sim.signal(signal.SIGSTOP)
    try:
        with pytest.raises(Exception) as failure:
            RE(bps.mv(kq.ch1.attenuation, 1.25))  # waits the alarm window, then refused
        assert refusal(failure) == "O:CH1:ATT = 1.25 was refused: the instrument does not answer"
        with pytest.raises(Exception) as failure:
            RE(bps.mv(kq.ch1.attenuation, 1.5))  # the IOC takes no puts meanwhile
        assert refusal(failure).startswith("O:CH1:ATT = 1.5 not taken")
    finally:
        sim.signal(signal.SIGCONT)
    assert until(lambda: RE(bps.rd(kq.connected)).plan_result, 3.0)
    RE(bps.mv(kq.ch1.attenuation, 1.75))
    assert steps(sim, 1)["attenuation_steps"] == 175


@pytest.mark.parametrize("prefix", PROTOCOLS)
def test_best_effort_callback_prints_scan_and_count(RE, served, prefix, capsys):
    kq = device(RE, prefix)
    bec = BestEffortCallback()
    bec.disable_plots()
    token = RE.subscribe(bec)
    try:
        RE(bp.scan([kq.ch2], kq.ch2.attenuation, 0.5, 1.5, 3))
        RE(bp.count([kq.ch1], num=2))
    finally:
        RE.unsubscribe(token)
    out = capsys.readouterr().out
    assert out.count("kq-ch-2-attenuation") >= 1 and out.count("kq-ch-1-attenuation") >= 1
    assert "1.50" in out and "Traceback" not in out


def test_a_100_point_scan_records_every_point(RE, served):
    sim, _ = served
    kq = device(RE, "O:")
    events = []
    started = time.monotonic()
    RE(bp.scan([kq.ch1], kq.ch1.attenuation, 0, 0.99, 100),
       lambda name, doc: events.append(doc["data"]["kq-ch-1-attenuation"]) if name == "event" else None)
    assert len(events) == 100 and events == pytest.approx([i / 100 for i in range(100)])
    assert steps(sim, 1)["attenuation_steps"] == 99
    assert time.monotonic() - started < 60  # a bound against a hang; bench/ioc_bench.py times it
