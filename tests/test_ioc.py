"""kq2741-ioc on the simulator, driven over Channel Access (caproto) and PV Access (p4p)."""
from __future__ import annotations

import math
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from epics import Ioc, ca_context, ca_put, ca_read, on_loopback, until
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-ioc", "kq2741-sim")

CH2 = "2=1310,1550,1625"
NO_ALARM, MAJOR, INVALID = 0, 2, 3
WRITE_ALARM, COMM_ALARM, UDF_ALARM = 2, 9, 17
SETTING = re.compile(r" rx .*\| ch\d+ (set attenuation|select|clear|disconnect|full-screen)")


@pytest.fixture(scope="module")
def epics():
    """IOC 0 serves the module (served), IOC 1 one test at a time."""
    with on_loopback(servers=2) as ports:
        yield ports


Context = ca_context


@pytest.fixture(scope="module")
def ca(epics):
    context = Context()
    try:
        yield context
    finally:
        context.disconnect()


def pv(ca, name):
    return ca.get_pvs(name, timeout=2)[0]


def field(ca, name):
    """A field as the text Channel Access gives for it (menus by name)."""
    from caproto import ChannelType

    return pv(ca, name).read(data_type=ChannelType.STRING, timeout=2).data[0].decode()


read, put = ca_read, ca_put


@pytest.fixture(scope="module")
def served(epics):
    with Simulator("--channels", 2, "--channel-wavelengths", CH2, "--verbose") as sim:
        with Ioc("-p", sim.port, "--prefix", "T:", "--channels", "1-2", "--poll", 0.2, env=epics.server(0)) as ioc:
            yield sim, ioc
            assert ioc.stop() == 0


def channel(sim, n):
    return sim.state()["channels"][n - 1]


@pytest.mark.parametrize("suffix, rtyp, fields", [
    ("CH1:ATT", "ao", {"EGU": "dB", "PREC": "2", "DRVL": "0.00", "DRVH": "655.35"}),
    ("CH1:ATT_RBV", "ai", {"EGU": "dB", "PREC": "2"}),
    ("CH2:WL", "longout", {"EGU": "nm"}),
    ("CH2:WL_RBV", "longin", {"EGU": "nm"}),
    ("CH2:WLS_RBV", "waveform", {"FTVL": "LONG"}),
    ("CH1:MODE_RBV", "longin", {}),
    ("CH1:CLEAR", "bo", {}),
    ("CH2:DISCONNECT", "bo", {}),
    ("VERSION_RBV", "stringin", {}),
    ("DISPLAY_CLOSE", "bo", {}),
    ("CONNECTED_RBV", "bi", {}),
])
def test_records_and_their_fields(ca, served, suffix, rtyp, fields):
    assert field(ca, f"T:{suffix}.RTYP") == rtyp
    assert {name: field(ca, f"T:{suffix}.{name}") for name in fields} == fields


def test_read_backs_start_from_the_instrument(ca, served):
    assert read(ca, "T:VERSION_RBV") == (b"2.50.32", NO_ALARM, 0)
    assert read(ca, "T:CH2:WLS_RBV") == ([1310, 1550, 1625], NO_ALARM, 0)
    assert read(ca, "T:CONNECTED_RBV")[:2] == (1, NO_ALARM)
    assert read(ca, "T:CH1:MODE_RBV")[:2] == (0, NO_ALARM)
    assert read(ca, "T:CH1:WL")[:2] == (1310, NO_ALARM)  # output records too: no UDF alarm


@pytest.mark.parametrize("name, value, check, rbv", [
    ("CH1:ATT", 3.456, lambda st: channel(st, 1)["attenuation_steps"] == 346, ("CH1:ATT_RBV", 3.46)),
    ("CH1:ATT", 3.454, lambda st: channel(st, 1)["attenuation_steps"] == 345, ("CH1:ATT", 3.45)),  # the step taken
    ("CH1:ATT", 700, lambda st: channel(st, 1)["attenuation_steps"] == 65535, ("CH1:ATT_RBV", 655.35)),
    ("CH2:WL", 1625, lambda st: channel(st, 2)["wavelength_index"] == 2, ("CH2:WL_RBV", 1625)),
    ("CH1:CLEAR", 1, lambda st: channel(st, 1)["attenuation_steps"] == 0, ("CH1:ATT", 0.0)),
    ("CH1:CLEAR", 1, lambda st: channel(st, 1)["attenuation_steps"] == 0, ("CH1:ATT_RBV", 0.0)),
    ("CH2:DISCONNECT", 1, lambda st: not channel(st, 2)["connected"], ("CH2:MODE_RBV", 0)),
    ("DISPLAY_CLOSE", 1, lambda st: "full-screen close: ok" in st.log(), ("CONNECTED_RBV", 1)),
])
def test_put_completes_after_the_instrument_took_it(ca, served, name, value, check, rbv):
    sim, _ = served
    assert put(ca, f"T:{name}", value)
    # Right after the completion: the instrument holds it and the read-back shows it.
    assert check(sim)
    got, severity, _ = read(ca, f"T:{rbv[0]}")
    assert got == pytest.approx(rbv[1]) and severity == NO_ALARM
    assert read(ca, f"T:{name}")[1] == NO_ALARM


@pytest.mark.parametrize("name, value, kept, alarm", [
    ("CH2:WL", 1490, 1550, (MAJOR, WRITE_ALARM)),
    ("CH1:ATT", math.nan, 1.0, (INVALID, UDF_ALARM)),  # the ao record's own verdict on NaN, before ours
    ("CH1:CLEAR", 2, 0, (MAJOR, WRITE_ALARM)),
])
def test_refused_puts_send_nothing(ca, served, name, value, kept, alarm):
    sim, _ = served
    assert put(ca, "T:CH1:ATT", 1.0) and put(ca, "T:CH2:WL", 1550) and put(ca, "T:CH1:CLEAR", 0)
    before, settings = sim.state()["channels"], len(SETTING.findall(sim.log()))
    put(ca, f"T:{name}", value)  # Channel Access completes it; the record tells the refusal
    assert read(ca, f"T:{name}") == (kept, *alarm)
    time.sleep(0.3)  # a poll round: anything sent would be in the log by now
    assert len(SETTING.findall(sim.log())) == settings
    assert sim.state()["channels"] == before
    assert put(ca, "T:CH2:WL", 1550) and put(ca, "T:CH1:ATT", 1.0)
    assert read(ca, "T:CH2:WL")[1] == read(ca, "T:CH1:ATT")[1] == NO_ALARM


def test_clients_take_turns_each_with_its_own_read_back(ca, served):
    sim, _ = served
    foreign = []

    def client(n):
        own = Context()
        try:
            att, rbv = own.get_pvs(f"T:CH{n}:ATT", f"T:CH{n}:ATT_RBV", timeout=2)
            for i in range(30):
                value = round(n * 100 + i * 0.01, 2)
                att.write([value], wait=True, timeout=3)
                got = rbv.read(timeout=2).data[0]
                if got != pytest.approx(value):
                    foreign.append((n, value, got))
        finally:
            own.disconnect()

    threads = [threading.Thread(target=client, args=(n,)) for n in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert foreign == []
    assert [c["attenuation_steps"] for c in sim.state()["channels"]] == [10029, 20029]


def test_pv_access(epics, served):
    from p4p.client.thread import Context as PvaContext

    sim, _ = served
    pva = PvaContext("pva")
    try:
        pva.put("T:CH1:ATT", 2.5, wait=True, timeout=3)
        assert channel(sim, 1)["attenuation_steps"] == 250
        rbv = pva.get("T:CH1:ATT_RBV", timeout=3)
        assert rbv == pytest.approx(2.5) and rbv.severity == NO_ALARM
        assert list(pva.get("T:CH2:WLS_RBV", timeout=3)) == [1310, 1550, 1625]
    finally:
        pva.close()


RBVS = ["CH1:ATT_RBV", "CH1:WL_RBV", "CH1:WLS_RBV", "CH1:MODE_RBV", "VERSION_RBV", "CONNECTED_RBV"]


def lost(ca, prefix):
    return all(read(ca, prefix + name)[1:] == (INVALID, COMM_ALARM) for name in RBVS)


def back(ca, prefix):
    return all(read(ca, prefix + name)[1] == NO_ALARM for name in RBVS)


def monitor(context, name, seen: list):
    """seen gets (value, severity) of every update of name; returns what keeps the subscription."""
    subscription = pv(context, name).subscribe(data_type="time")
    callback = lambda sub, r: seen.append((r.data[0], r.metadata.severity))  # noqa: E731
    subscription.add_callback(callback)
    assert until(lambda: seen, 10.0)
    return subscription, callback


def test_silence_raises_the_alarm_and_a_restarted_simulator_recovers(ca, epics, tmp_path):
    link = tmp_path / "kq2741"
    first = Simulator("--link", link, "--channels", 1).start()
    second = Simulator("--link", link, "--channels", 1)
    watcher = Context()
    set_points: list = []
    try:
        with Ioc("-p", link, "--prefix", "R:", "--channels", "1", env=epics.server(1)) as ioc:
            held = monitor(watcher, "R:CH1:ATT", set_points)
            assert put(ca, "R:CH1:ATT", 4.2)
            # First frozen (the port stays open, nothing answers), then gone and
            # replaced by another simulator on the same path.
            for silence, restore in [(lambda: first.signal(signal.SIGSTOP), lambda: first.signal(signal.SIGCONT)),
                                     (first.kill, second.start)]:
                silence()
                since = time.monotonic()
                # Lost after a second of trying (the alarm window), not at the first missing answer:
                # up to a poll (0.5 s) before the first try, the window, the try that ends it (0.25 s);
                # the upper bound leaves room for a machine busy with the rest of the suite.
                assert until(lambda: lost(ca, "R:"), 5.0)
                assert 0.7 < time.monotonic() - since < 5.0
                assert read(ca, "R:CONNECTED_RBV")[0] == 0
                assert read(ca, "R:CH1:ATT_RBV")[0] == pytest.approx(4.2)  # the last value, marked INVALID
                assert not put(ca, "R:CH1:ATT", 1.0)
                restore()
                since = time.monotonic()
                assert until(lambda: back(ca, "R:"), 2.5) and time.monotonic() - since < 2.0
            assert read(ca, "R:CH1:ATT") == (0.0, NO_ALARM, 0)  # the new instrument's own value
            assert until(lambda: set_points[-1] == (0.0, NO_ALARM), 1.0)  # and monitors were told
            assert put(ca, "R:CH1:ATT", 1.5)
            assert channel(second, 1)["attenuation_steps"] == 150
            assert ioc.stop() == 0
            del held
    finally:
        watcher.disconnect()
        if first.returncode is None:
            first.signal(signal.SIGCONT)
        first.close()
        second.close()


def test_an_instrument_silent_at_start_is_served_once_it_answers(ca, epics):
    with Simulator("--channels", 1) as sim:
        sim.signal(signal.SIGSTOP)
        try:
            with Ioc("-p", sim.port, "--prefix", "Q:", "--channels", "1", env=epics.server(1)) as ioc:
                assert lost(ca, "Q:") and read(ca, "Q:CONNECTED_RBV")[0] == 0
                assert not put(ca, "Q:CH1:ATT", 1.0)
                watcher, wavelengths = Context(), []
                held = monitor(watcher, "Q:CH1:WL", wavelengths)
                sim.signal(signal.SIGCONT)
                assert until(lambda: back(ca, "Q:"), 2.5)
                # The set-points take the instrument's values and monitors hear of it.
                assert until(lambda: wavelengths[-1] == (1310, NO_ALARM), 1.0)
                del held
                watcher.disconnect()
                assert put(ca, "Q:CH1:ATT", 1.0) and read(ca, "Q:CH1:ATT") == (1.0, NO_ALARM, 0)
                assert ioc.stop() == 0
        finally:
            sim.signal(signal.SIGCONT)


def test_the_url_simulator_is_served_without_a_terminal(ca, epics):
    # kq2741sim:// runs the instrument inside the IOC, as on Windows and macOS.
    url = "kq2741sim://?channels=2&channel_wavelengths=2=1550,1625&device_version=4.5.6"
    with Ioc("-p", url, "--prefix", "U:", "--channels", "1-2", env=epics.server(1)) as ioc:
        assert ioc.line == f"kq2741-ioc: serving U:CH1-2 of {url} over Channel Access and PV Access"
        assert read(ca, "U:VERSION_RBV")[0] == b"4.5.6"
        assert read(ca, "U:CH2:WLS_RBV")[0] == [1550, 1625]
        assert put(ca, "U:CH2:ATT", 12.34) and put(ca, "U:CH2:WL", 1625)
        assert read(ca, "U:CH2:ATT_RBV") == (12.34, NO_ALARM, 0)
        assert read(ca, "U:CH2:WL_RBV") == (1625, NO_ALARM, 0)
        assert ioc.stop() == 0


def test_sigint_stops_it_releasing_the_ports(epics):
    with Ioc("--sim", "--prefix", "S:", env=epics.server(1)) as ioc:
        assert ioc.line.startswith("kq2741-ioc: serving S:CH1-4 of /dev/")
        pid = ioc.proc.pid
        children = [int(c) for c in open(f"/proc/{pid}/task/{pid}/children").read().split()]
        assert len(children) == 1  # --sim's simulator
        started = time.monotonic()
        assert ioc.stop(signal.SIGINT) == 0
        assert time.monotonic() - started < 3
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", epics.ca_port(1)), timeout=1).close()
        with pytest.raises(ProcessLookupError):
            os.kill(children[0], 0)


def test_start_failures(epics, tmp_path):
    env = epics.server(1)
    def run(*args, code=None):
        ran = subprocess.run([sys.executable, "-c", code or "from kq2741ctl.ioc import main; main()", *args],
                             capture_output=True, text=True, timeout=20, env={**os.environ, **env})
        return ran.returncode, ran.stdout, ran.stderr

    no_softioc = "import sys; sys.modules['softioc'] = None; from kq2741ctl.ioc import main; main()"
    status, out, err = run("--sim", code=no_softioc)
    assert (status, out) == (2, "") and err.count("\n") == 1 and 'pip install "kq2741[ioc]"' in err
    status, out, err = run("-p", str(tmp_path / "absent"))
    assert (status, out) == (4, "") and err.count("\n") == 1 and "absent" in err
    for args in (["--channels", "0-3", "--sim"], ["--sim", "-p", "x"], ["--poll", "0", "--sim"]):
        status, out, err = run(*args)
        assert (status, out) == (2, "") and err.startswith("kq2741-ioc: ") and err.count("\n") == 1
    with Simulator() as sim, Ioc("-p", sim.port, "--prefix", "A:", env=env):
        second = Ioc("-p", sim.port, "--prefix", "B:", env=env).start(serve=False)
        try:
            assert second.wait(10) == 4
            assert "held by another program" in second.log() and second.log().count("\n") == 1
        finally:
            second.close()


EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "ophyd_kq2741.py"


@pytest.mark.parametrize("prefix", ["T:", "ca://T:"])
def test_the_ophyd_example_scans_a_channel(served, prefix):
    sim, _ = served
    args = [sys.executable, str(EXAMPLE), prefix, "--channel", "2", "--start", "0.5", "--stop", "1.5", "--num", "3"]
    scan = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert scan.returncode == 0, scan.stderr
    assert scan.stdout.split() == ["1", "0.50", "dB", "2", "1.00", "dB", "3", "1.50", "dB"]
    assert channel(sim, 2)["attenuation_steps"] == 150
