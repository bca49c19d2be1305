"""kq2741-ioc under hostile clients, slow instruments and noisy lines."""
from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from epics import Ioc, answers_search, ca_client, ca_put, ca_read, on_loopback, until
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-ioc", "kq2741-sim")

NO_ALARM, MAJOR, INVALID = 0, 2, 3
WRITE_ALARM, COMM_ALARM = 2, 9


@pytest.fixture(scope="module")
def epics():
    with on_loopback(servers=2) as ports:
        yield ports


@pytest.fixture(scope="module")
def ca(epics):
    with ca_client() as context:
        yield context


@pytest.fixture(scope="module")
def pva(epics):
    from p4p.client.thread import Context

    context = Context("pva")
    yield context
    context.close()


@pytest.fixture(scope="module")
def slow(epics):
    """One IOC on an instrument that answers 150 ms late."""
    with Simulator("--channels", 2, "--delay-ms", 150, "--verbose") as sim:
        with Ioc("-p", sim.port, "--prefix", "S:", "--channels", "1-2", "--timeout", 1, env=epics.server(0)) as ioc:
            yield sim, ioc
            assert ioc.stop() == 0


def ca_status(ca, name, value) -> str:
    """The status Channel Access gives a put with completion, by name."""
    try:
        return ca.get_pvs(name, timeout=2)[0].write([value], wait=True, timeout=3).status.name
    except Exception as error:  # caproto raises for some refusals
        return type(error).__name__


def pva_put(pva, name, value, **options) -> str:
    try:
        pva.put(name, value, timeout=3, **options)
    except Exception as error:
        return str(error)
    return "ok"


@pytest.mark.parametrize("name, value", [
    ("CH1:ATT_RBV", 42), ("CH1:ATT_RBV.DISP", 0), ("CONNECTED_RBV", 0), ("VERSION_RBV", "9.9.9"),
    ("CH1:MODE_RBV", 5), ("CH1:ATT.DRVH", 0), ("CH1:ATT.DISP", 1), ("CH1:WL.SCAN", 6),
    ("CH1:CLEAR.ZNAM", "x"), ("CH1:ATT.DESC", "x"),
])
def test_only_the_settings_values_are_writable(ca, pva, slow, name, value):
    before = ca_read(ca, f"S:{name}")
    assert ca_status(ca, f"S:{name}", value) == "ECA_NOWTACCESS"
    assert pva_put(pva, f"S:{name}", value) != "ok"
    assert ca_read(ca, f"S:{name}") == before


def test_a_put_without_processing_is_undone(ca, pva, slow):
    assert ca_put(ca, "S:CH1:WL", 1490)
    assert pva_put(pva, "S:CH1:WL", 1551, process="false") == "ok"
    assert until(lambda: ca_read(ca, "S:CH1:WL") == (1490, NO_ALARM, 0), 10.0)
    assert "undid a put to S:CH1:WL" in slow[1].log()


def test_gets_and_monitors_never_wait_for_the_instrument(ca, pva, slow):
    """With every answer 150 ms late, a put's exchanges take 300 ms; a get on
    the writer's own connection and another client's PV Access get are
    answered while the put is still under way."""
    sim, _ = slow
    att = ca.get_pvs("S:CH2:ATT", timeout=2)[0]
    for value in (1.25, 2.5):
        done = threading.Event()
        writer = threading.Thread(target=lambda: (att.write([value], wait=True, timeout=5), done.set()))
        writer.start()
        try:
            assert until(lambda: ca_read(ca, "S:CH2:ATT.PACT")[0] == 1, 1.0)  # the put is under way
            assert ca_read(ca, "S:CONNECTED_RBV")[0] == 1 and not done.is_set()
            assert pva.get("S:CONNECTED_RBV", timeout=2) == 1 and not done.is_set()
        finally:
            writer.join(5)
        assert done.is_set() and sim.state()["channels"][1]["attenuation_steps"] == round(value * 100)


def test_a_value_queued_behind_a_put_is_never_posted_unchecked(ca, slow):
    """Puts without completion of wavelengths the channel lacks, each while a
    good put is under way: EPICS queues them in VAL; no monitor update shows
    one, and the instrument never gets one."""
    sim, _ = slow
    seen: list[tuple[int, int]] = []
    with ca_client() as monitor:
        wl = monitor.get_pvs("S:CH1:WL", timeout=2)[0]
        callback = lambda sub, reading: seen.append((int(reading.data[0]), int(reading.metadata.severity)))  # noqa: E731
        subscription = wl.subscribe(data_type="time")
        subscription.add_callback(callback)
        assert until(lambda: seen, 10.0)  # the subscription's first value
        writer, other = ca.get_pvs("S:CH1:WL", timeout=2)[0], monitor.get_pvs("S:CH1:WL", timeout=2)[0]
        for good in (1550, 1490, 1550):
            thread = threading.Thread(target=writer.write, args=([good],), kwargs={"wait": True, "timeout": 5})
            thread.start()
            assert until(lambda: ca_read(ca, "S:CH1:WL.PACT")[0] == 1, 1.0)
            other.write([1551], wait=False)
            thread.join(5)
            assert until(lambda: ca_read(ca, "S:CH1:WL")[1] == MAJOR, 10.0)  # the queued one, refused
        time.sleep(0.3)
    assert [s for s in seen if s[0] == 1551] == []
    assert sim.state()["channels"][0]["wavelength_index"] == 2  # 1550, the last good one


@pytest.mark.parametrize("value", [2, 65535])
def test_an_action_put_other_than_0_or_1_sends_nothing(ca, slow, value):
    sim, _ = slow
    clears = sim.log().count("| ch2 clear")
    assert ca_put(ca, "S:CH2:CLEAR", value)  # completes; the record tells
    assert ca_read(ca, "S:CH2:CLEAR")[:2] == (0, MAJOR)
    assert ca.get_pvs("S:CH2:CLEAR.AMSG", timeout=2)[0].read(timeout=2).data[0] == f"{value} is neither 0 nor 1".encode()
    time.sleep(0.6)  # anything sent would be in the log by now
    assert sim.log().count("| ch2 clear") == clears
    assert ca_put(ca, "S:CH2:CLEAR", 1) and sim.log().count("| ch2 clear") == clears + 1


def test_a_noisy_line_is_not_a_lost_instrument(ca, epics):
    """5% of answers garbled and 5% lost: every put completes with its value,
    without alarm, and CONNECTED_RBV never leaves 1."""
    with Simulator("--channels", 1, "--corrupt-rate", 0.05, "--drop-rate", 0.05, "--seed", 11) as sim:
        with Ioc("-p", sim.port, "--prefix", "N:", "--channels", "1", "--timeout", 0.05, "--poll", 0.1,
                 env=epics.server(1)) as ioc:
            connected: list[int] = []
            with ca_client() as monitor:
                subscription = monitor.get_pvs("N:CONNECTED_RBV", timeout=2)[0].subscribe()
                callback = lambda sub, reading: connected.append(int(reading.data[0]))  # noqa: E731
                subscription.add_callback(callback)
                results = []
                for i in range(60):
                    value = round(1 + i * 0.01, 2)
                    results.append((ca_put(ca, "N:CH1:ATT", value), ca_read(ca, "N:CH1:ATT")[:2], value))
            assert [r for r in results if r[:2] != (True, (r[2], NO_ALARM))] == []
            assert connected and set(connected) == {1}
            assert sim.state()["channels"][0]["attenuation_steps"] == 159
            assert ioc.stop() == 0


def test_connected_changes_when_puts_start_and_stop_being_refused(ca, epics):
    """A client puts without pause while the instrument freezes and thaws.
    By the server's clock, CONNECTED_RBV goes to 0 before the first put is
    refused and back to 1 before the next one is taken."""
    with Simulator("--channels", 1) as sim:
        with Ioc("-p", sim.port, "--prefix", "C:", "--channels", "1", env=epics.server(1)) as ioc:
            changes: list[tuple[int, float]] = []
            puts: list[tuple[bool, float]] = []  # (taken without alarm, when its answer came)
            completed_alarms = set()  # of the puts that completed, refused

            def putting(seconds: float):
                end = time.monotonic() + seconds
                while time.monotonic() < end:
                    completed = ca_put(ca, "C:CH1:ATT", 1.5)
                    answered = time.time()
                    alarm = ca_read(ca, "C:CH1:ATT")[1:]
                    puts.append((completed and alarm[0] == NO_ALARM, answered))
                    if completed and alarm[0] != NO_ALARM:
                        completed_alarms.add(alarm)
            with ca_client() as monitor:
                subscription = monitor.get_pvs("C:CONNECTED_RBV", timeout=2)[0].subscribe(data_type="time")
                callback = lambda sub, r: changes.append((int(r.data[0]), r.metadata.timestamp))  # noqa: E731
                subscription.add_callback(callback)
                assert until(lambda: changes, 10.0)
                sim.signal(signal.SIGSTOP)
                try:
                    putting(2.5)
                finally:
                    sim.signal(signal.SIGCONT)
                putting(1.5)
            assert [value for value, _ in changes] == [1, 0, 1]
            lost, back = changes[1][1], changes[2][1]
            refused = [when for taken, when in puts if not taken]
            assert refused and min(refused) >= lost
            assert [when for taken, when in puts if taken and lost < when < back] == []
            assert puts[-1][0]
            # Caught by the loss: INVALID/COMM; the later ones the server refused outright (DISP).
            assert completed_alarms == {(INVALID, COMM_ALARM)}
            assert ioc.stop() == 0


@pytest.mark.parametrize("restart", [False, True], ids=["at-start", "restarted-smaller"])
def test_channels_that_do_not_answer_are_invalid_and_the_rest_served(ca, epics, tmp_path, restart):
    link = tmp_path / "kq2741"
    p = "V2:" if restart else "V1:"  # a caproto context searches a name it saw before only slowly
    sims = [Simulator("--link", link, "--channels", 4 if restart else 2),
            Simulator("--link", link, "--channels", 2)]
    sims[0].start()
    try:
        with Ioc("-p", link, "--prefix", p, "--channels", "1-4", "--timeout", 0.1, env=epics.server(1)) as ioc:
            if restart:
                assert ca_read(ca, f"{p}CH4:ATT_RBV")[1] == NO_ALARM
                sims[0].kill()
                sims[1].start()
                assert until(lambda: ca_read(ca, f"{p}CONNECTED_RBV")[0] == 1
                             and ca_read(ca, f"{p}CH4:ATT_RBV")[1] == INVALID, 5.0)
            assert ca_read(ca, f"{p}CONNECTED_RBV")[:2] == (1, NO_ALARM)
            for n in (3, 4):
                assert ca_read(ca, f"{p}CH{n}:ATT_RBV")[1:] == (INVALID, COMM_ALARM)
                assert ca_read(ca, f"{p}CH{n}:WL_RBV")[1:] == (INVALID, COMM_ALARM)
                assert not ca_put(ca, f"{p}CH{n}:ATT", 1.0)
            assert ca_put(ca, f"{p}CH2:ATT", 2.0) and ca_read(ca, f"{p}CH2:ATT_RBV") == (2.0, NO_ALARM, 0)
            assert re.search(r"channels? 3\b.* not answer", ioc.log())
            assert ioc.stop() == 0
    finally:
        for sim in sims:
            sim.close()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
@pytest.mark.parametrize("when", ["serving", "starting"])
def test_a_stop_signal_never_waits_for_an_exchange(epics, sig, when):
    """The instrument frozen and --timeout 20: the IOC exits with 0 long
    before one exchange could end."""
    with Simulator("--channels", 1) as sim:
        if when == "starting":
            sim.signal(signal.SIGSTOP)
        try:
            ioc = Ioc("-p", sim.port, "--prefix", "T:", "--channels", "1", "--timeout", 20, env=epics.server(1))
            ioc.start(serve=(when == "serving"))
            try:
                sim.signal(signal.SIGSTOP)
                time.sleep(1.0)  # a poll has started its exchange by now
                started = time.monotonic()
                assert ioc.stop(sig, timeout=10) == 0
                assert time.monotonic() - started < 5
            finally:
                ioc.close()
        finally:
            sim.signal(signal.SIGCONT)


def test_repeated_messages_are_rate_limited(ca, epics):
    with Simulator("--channels", 1) as sim:
        with Ioc("-p", sim.port, "--prefix", "L:", "--channels", "1", env=epics.server(1)) as ioc:
            for _ in range(40):
                ca_put(ca, "L:CH1:WL", 1551)
            assert ca_put(ca, "L:CH1:ATT", 700)  # clamped by DRVH: taken
            ca_put(ca, "L:CH1:CLEAR", 3)
            assert ioc.stop() == 0
            log = ioc.log()
    assert 1 <= log.count("no 1551 nm") <= 5
    assert "3 is neither 0 nor 1" in log  # another kind of message still gets through


def run_ioc(*args, epics, stdin=subprocess.DEVNULL, **popen):
    return subprocess.Popen([sys.executable, "-m", "kq2741ctl.ioc", *map(str, args)], stdin=stdin,
                            env={**os.environ, **epics.server(1)}, **popen)


@pytest.mark.parametrize("args, says", [
    (["--prefix", "é" * 43 + ":"], "--prefix"),
    (["--prefix", "A" * 45], "--prefix"),
    (["--prefix", "A.B:"], "--prefix"),
    (["--channels", "1_0"], "channel list"),
    (["--channels", "+1"], "channel list"),
    (["--channels", "١"], "channel list"),
    (["--timeout", "1e-300"], "seconds"),
    (["--poll", "1e-9"], "seconds"),
    (["--poll", "inf"], "seconds"),
    (["--timeout", "nan"], "seconds"),
    (["-p", "sockt://host:4001"], "sockt"),
    (["--acf", "/nonexistent/site.acf"], "--acf"),
    (["--acf", "BROKEN"], "--acf"),
])
def test_start_up_failures_are_one_line_and_status_2(epics, tmp_path, args, says):
    broken = tmp_path / "broken.acf"
    broken.write_text("ASG(DEFAULT) {\n  RULE(1, READ\n}\n")
    args = [str(broken) if a == "BROKEN" else a for a in args]
    if "-p" not in args:
        args = ["--sim", *args]
    proc = run_ioc(*args, epics=epics, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate(timeout=20)
    assert (proc.returncode, out) == (2, b""), err
    assert err.count(b"\n") == 1 and err.startswith(b"kq2741-ioc: ") and says.encode() in err


@pytest.mark.parametrize("closed", ["stdout", "stderr", "broken-pipe"])
def test_closed_or_broken_standard_streams(epics, tmp_path, closed):
    """The IOC serves with its stdout or stderr closed, or its reader gone,
    and a stop signal still ends it with 0."""
    read_end, write_end = os.pipe()
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.DEVNULL}
    if closed == "broken-pipe":
        os.close(read_end)
        streams["stdout"] = write_end
    else:
        os.close(read_end)
        os.close(write_end)
        streams[closed] = subprocess.DEVNULL
    fds = {"stdout": 1, "stderr": 2}
    preexec = (lambda: os.close(fds[closed])) if closed in fds else None
    prefix = {"stdout": "B1:", "stderr": "B2:", "broken-pipe": "B3:"}[closed]
    proc = run_ioc("--sim", "--prefix", prefix, epics=epics, preexec_fn=preexec, **streams)
    try:
        if closed == "broken-pipe":
            os.close(write_end)
        # Serving, though nobody can read its line.
        assert until(lambda: answers_search(f"{prefix}CONNECTED_RBV", epics.ca_port(1)), 10.0)
        with ca_client() as ca:
            assert until(lambda: _connected(ca, f"{prefix}CONNECTED_RBV"), 5.0)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if proc.stdout is not None:
            proc.stdout.close()


def _connected(ca, name) -> bool:
    try:
        return ca_read(ca, name)[0] == 1
    except Exception:
        return False


def listening(port: int) -> set[str]:
    """The IPv4 addresses a TCP socket listens on at port, from /proc/net/tcp."""
    found = set()
    for line in open("/proc/net/tcp").read().splitlines()[1:]:
        local, state = line.split()[1], line.split()[3]
        address, hex_port = local.split(":")
        if state == "0A" and int(hex_port, 16) == port:
            found.add(".".join(str(b) for b in reversed(bytes.fromhex(address))))
    return found


@pytest.mark.parametrize("args, interfaces, expected", [
    ([], None, {"127.0.0.1"}),  # nothing said: the loopback only
    (["--listen", "127.0.0.2"], None, {"127.0.0.2"}),
    ([], "127.0.0.3", {"127.0.0.3"}),  # a site's EPICS variables
])
def test_it_listens_on_the_loopback_unless_told(epics, args, interfaces, expected):
    env = {k: v for k, v in epics.server(1).items() if "INTF_ADDR_LIST" not in k}
    if interfaces:
        env.update(EPICS_CAS_INTF_ADDR_LIST=interfaces, EPICS_PVAS_INTF_ADDR_LIST=interfaces)
    removed = {k: os.environ.pop(k) for k in list(os.environ) if "INTF_ADDR_LIST" in k}
    try:
        with Simulator("--channels", 1) as sim:
            with Ioc("-p", sim.port, "--prefix", "I:", "--channels", "1", *args, env=env) as ioc:
                assert listening(epics.ca_port(1)) == expected
                assert listening(int(env["EPICS_PVAS_SERVER_PORT"])) == expected
                assert ioc.stop() == 0
    finally:
        os.environ.update(removed)


@pytest.mark.parametrize("value", [
    __import__("fractions").Fraction(10**300 + 1, 3), 10**300, "x" * 1000, [0.5] * 500, b"\xff" * 300,
])
def test_a_logged_value_stays_short(value):
    from kq2741ctl.ioc.logs import short

    assert len(short(value)) <= 48


def test_rate_limit_counts_what_it_left_out():
    import logging

    from kq2741ctl.ioc.logs import RateLimit

    limit = RateLimit(burst=2, interval=0.2)

    def record(name):
        return logging.LogRecord("kq", logging.WARNING, __file__, 1, "refused a put to %s: %s", (name, "why"), None)

    first = [limit.filter(record("A")) for _ in range(5)]
    assert first == [True, True, False, False, False]
    assert limit.filter(record("B"))  # another record's news gets through
    time.sleep(0.25)
    again = record("A")
    assert limit.filter(again) and "3 more like it" in again.getMessage()
