"""kq2741-panel on the simulator, over HTTP and its WebSocket as a page and a script use them."""
from __future__ import annotations

import asyncio
import os
import signal
import socket
import subprocess
import sys
import time
from decimal import Decimal

import pytest
import serial

from kq2741ctl import Attenuator
from panel import Panel
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-panel", "kq2741-sim")

TOKEN = "bench-token-1234"
ATT1 = "/channel/1/attenuation"


@pytest.fixture(scope="module")
def served():
    """A panel that needs its token, on a simulator whose channel 2 has 1310, 1550 and 1625 nm."""
    with Simulator("--channels", 2, "--channel-wavelengths", "2=1310,1550,1625") as sim:
        with Panel("-p", sim.port, "--channels", "1-2", "--token", TOKEN) as panel:
            yield sim, panel
            assert panel.stop() == 0, panel.log()


def steps(sim, n=1):
    return sim.state()["channels"][n - 1]["attenuation_steps"]


def core_verdict(value):
    """What the Attenuator says of the value before sending anything: its message, or None."""
    try:
        Attenuator(os.devnull).channel(1).attenuation = value
    except serial.PortNotOpenError:
        return None
    except (ValueError, TypeError) as refused:
        return str(refused)


@pytest.mark.parametrize("db, taken", [
    ("3.5", 350), ("0.29", 29), (" 12.30 ", 1230), ("655.35", 65535), ("-0", 0), ("1_0", 1000),
    ("0." + "0" * 900 + "1e+902", 1000), (7.25, 725), (3, 300),
])
def test_typed_values_are_taken_exactly(served, db, taken):
    sim, panel = served
    panel.post(ATT1, {"db": "1"})
    status, answer = panel.post(ATT1, {"db": db})
    assert (status, steps(sim)) == (200, taken)
    assert answer["channel"]["attenuation"] == taken / 100  # the read-back, not the value sent


@pytest.mark.parametrize("body", [
    {"db": "3.505"}, {"db": "655.36"}, {"db": "-0.01"}, {"db": "NaN"}, {"db": "-Infinity"}, {"db": True},
    {"db": [3.5]}, {"db": None}, {"db": 10 ** 400},
    {"db": "1e-999999999"}, {"db": "-1e-999999999"}, {"db": "1E+999999999999999999"},  # at once, not in hours
    b'{"db": 0.1000000000000000055511151231257827}',  # 0.1 as a float, so JSON numbers are read exactly
    {"db": "0.1000000000000000055511151231257827"},
])
def test_refused_values_show_the_attenuators_own_message_and_send_nothing(served, body):
    sim, panel = served
    panel.post(ATT1, {"db": "2.5"})
    status, answer = panel.post(ATT1, body)
    value = Decimal("0.1000000000000000055511151231257827") if isinstance(body, bytes) else body["db"]
    expected = core_verdict(Decimal(value) if isinstance(value, str) else value)
    assert expected is not None and (status, answer) == (422, {"error": expected})
    assert steps(sim) == 250


@pytest.mark.parametrize("db, refusal", [
    ("", "type an attenuation in dB"), ("3,5", "'3,5' is not a number of dB"),
    ("3.5 dB" + "x" * 100, "'3.5 dBxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...' is not a number of dB"),
])
def test_text_that_is_no_number_is_refused(served, db, refusal):
    sim, panel = served
    panel.post(ATT1, {"db": "2.5"})
    status, answer = panel.post(ATT1, {"db": db})
    assert status == 422 and answer["error"].startswith(refusal)
    assert steps(sim) == 250


@pytest.mark.parametrize("nm, status, index, words", [
    (1625, 200, 2, ""), (1310, 200, 0, ""), (1490, 422, 0, "channel 2 does not support 1490 nm"),
    ("1550", 422, 0, "must be an int"), (True, 422, 0, "must be an int"), (1e3, 422, 0, "must be an int"),
])
def test_wavelength_from_the_channels_own_list(served, nm, status, index, words):
    sim, panel = served
    panel.post("/channel/2/wavelength", {"nm": 1310})
    got, answer = panel.post("/channel/2/wavelength", {"nm": nm})
    assert got == status and sim.state()["channels"][1]["wavelength_index"] == index
    assert words in answer["error"] if words else answer["channel"]["wavelength"] == nm


@pytest.mark.parametrize("path, body, status", [
    ("/channel/9/attenuation", b'{"db": "1"}', 404), ("/channel/01/attenuation", b'{"db": "1"}', 404),
    ("/channel/" + "9" * 5000 + "/attenuation", b'{"db": "1"}', 404),
    (ATT1, b"{", 400), (ATT1, b'{"db": "\xff\xfe"}', 400), (ATT1, b'["1"]', 400), (ATT1, b'{"nm": 1}', 400),
    (ATT1, b"[" * 3000, 400), (ATT1, b'{"db": "' + b"1" * 5000 + b'"}', 413),
])
def test_malformed_requests_are_refused_cleanly(served, path, body, status):
    sim, panel = served
    panel.post(ATT1, {"db": "2.5"})
    assert panel.post(path, body)[0] == status
    assert steps(sim) == 250 and panel.proc.poll() is None


def bearer(token):
    return {"Authorization": f"Bearer {token}"}


@pytest.mark.parametrize("method, path, headers, status", [
    ("GET", "/", {}, 401), ("GET", "/?token=wrong-token", {}, 403), ("GET", f"/?token={TOKEN}", {}, 200),
    ("GET", "/state", {}, 401), ("GET", f"/state?token={TOKEN}x", {}, 403), ("GET", f"/state?token={TOKEN}", {}, 200),
    ("GET", "/?token=t%C3%A9st%ff", {}, 403),
    ("GET", "/static/panel.js", {}, 200), ("GET", "/static/..%2fapp.py", {}, 404),  # the page's code is public
    ("POST", f"{ATT1}?token={TOKEN}", {}, 401),  # a write carries it in its header
    ("POST", ATT1, bearer("wrong-token"), 403),
    ("POST", ATT1, {**bearer(TOKEN), "Origin": "http://evil.example"}, 403),
    ("POST", ATT1, {**bearer(TOKEN), "Origin": "null"}, 403),
    ("POST", ATT1, {**bearer(TOKEN), "Sec-Fetch-Site": "cross-site"}, 403),
    ("POST", ATT1, {**bearer(TOKEN), "Content-Type": "text/plain"}, 415),
    ("POST", ATT1, {**bearer(TOKEN), "Content-Type": "application/x-www-form-urlencoded"}, 415),
    ("POST", ATT1, bearer(TOKEN), 200),  # a script: no Origin
    ("OPTIONS", ATT1, {"Origin": "http://evil.example", "Access-Control-Request-Method": "POST"}, 405),
])
def test_reads_and_writes_need_the_token_and_writes_the_panels_own_origin(served, method, path, headers, status):
    sim, panel = served
    panel.post(ATT1, {"db": "2.5"})
    headers = {"Content-Type": "application/json", **headers}
    got, answer_headers, _ = panel.request(method, path, b'{"db": "4"}' if method == "POST" else None, headers)
    assert got == status
    assert steps(sim) == (400 if (method, status) == ("POST", 200) else 250)
    assert not any(name.startswith("access-control-") for name in answer_headers)  # no CORS, ever
    assert answer_headers["x-frame-options"] == "DENY"


@pytest.mark.parametrize("host, status", [("127.0.0.1", 200), ("localhost", 200), ("LOCALHOST.", 200),
                                          ("evil.example", 403), ("127.0.0.1.nip.io", 403), ("", 403)])
def test_without_a_token_only_loopback_names_are_answered(host, status):
    with Simulator("--channels", 1) as sim, Panel("-p", sim.port, "--channels", "1") as panel:
        assert panel.token is None and panel.url == f"http://127.0.0.1:{panel.port}/"
        named = {"Host": f"{host}:{panel.port}" if host else ""}
        assert panel.request("GET", "/", headers=named)[0] == status
        origin = f"http://{host}:{panel.port}"
        assert panel.request("POST", ATT1, b'{"db": "1"}', {**named, "Origin": origin,
                                                           "Content-Type": "application/json"})[0] == status
        assert steps(sim) == (100 if status == 200 else 0)


def test_every_page_hears_every_change(served):
    sim, panel = served
    panel.post(ATT1, {"db": "1"})
    with panel.events() as first, panel.events() as second:
        for stream in (first, second):
            snapshot = stream.next()
            assert snapshot["type"] == "snapshot" and snapshot["connected"] and snapshot["version"] == "2.50.32"
            assert [c["wavelengths"] for c in snapshot["channels"]] == [[1310, 1490, 1550], [1310, 1550, 1625]]
            assert snapshot["channels"][0]["attenuation"] == 1.0
        for db in ("4.25", "4.5"):
            panel.post(ATT1, {"db": db})
        panel.post("/channel/2/clear", {})
        for stream in (first, second):
            seen = [stream.until(lambda m: m["type"] == "channel")["channel"]["attenuation"] for _ in range(2)]
            assert seen == [4.25, 4.5]
            action = stream.until(lambda m: m["type"] == "action")
            assert (action["channel"], action["action"]) == (2, "cleared")


@pytest.mark.parametrize("origin, token, status", [("http://evil.example", TOKEN, 403), ("", None, 403),
                                                   ("", "wrong-token", 403), (None, TOKEN, 101)])
def test_the_event_stream_needs_the_token_and_the_panels_own_origin(served, origin, token, status):
    from websockets.exceptions import InvalidStatus

    _, panel = served
    if status == 101:
        with panel.events(origin=origin, token=token) as stream:
            assert stream.next()["type"] == "snapshot"
        return
    with pytest.raises(InvalidStatus) as refused:
        panel.events(origin=origin, token=token)
    assert refused.value.response.status_code == status


def test_a_token_is_made_up_beyond_the_default_address():
    urls = []
    for _ in range(2):
        with Simulator("--channels", 1) as sim, Panel("-p", sim.port, "--channels", "1", "--bind", "127.0.0.2") as panel:
            assert panel.host == "127.0.0.2" and len(panel.token) >= 32
            assert panel.request("GET", "/")[0] == 401 and panel.request("GET", f"/?token={panel.token}")[0] == 200
            urls.append(panel.url)
    assert urls[0] != urls[1]


def test_a_frozen_instrument_is_lost_and_found_again():
    with Simulator("--channels", 1) as sim, Panel("-p", sim.port, "--channels", "1") as panel:
        with panel.events() as stream:
            assert stream.next()["connected"]
            sim.signal(signal.SIGSTOP)
            try:
                assert stream.until(lambda m: m["type"] == "connection", 3)["connected"] is False
                status, answer = panel.post(ATT1, {"db": "1"})
                assert status == 503 and "does not answer" in answer["error"]
                assert panel.state()["connected"] is False
            finally:
                sim.signal(signal.SIGCONT)
            assert stream.until(lambda m: m["type"] == "snapshot", 5)["connected"]
            assert panel.post(ATT1, {"db": "1"})[0] == 200 and steps(sim) == 100


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_stops_it_releasing_the_ports(sig):
    with Simulator("--channels", 1) as sim, Panel("-p", sim.port, "--channels", "1") as panel:
        with panel.events() as stream:  # an open stream must not hold the stop up
            stream.next()
            started = time.monotonic()
            assert panel.stop(sig) == 0, panel.log()
            assert time.monotonic() - started < 2.0
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection((panel.host, panel.port), timeout=1).close()
        with Attenuator(sim.port) as att:  # the serial port is free again
            assert att.channel(1).attenuation == 0.0


def test_sim_runs_the_simulator_for_its_lifetime():
    with Panel("--sim", "--channels", "1-3") as panel:
        assert panel.state()["port"].startswith("/dev/pts/") and len(panel.state()["channels"]) == 3
        children = [int(c) for c in open(f"/proc/{panel.proc.pid}/task/{panel.proc.pid}/children").read().split()]
        assert len(children) == 1 and panel.stop() == 0
    with pytest.raises(ProcessLookupError):
        os.kill(children[0], 0)


def free_port_in_use():
    held = socket.create_server(("127.0.0.1", 0))
    return held, str(held.getsockname()[1])


@pytest.mark.parametrize("args, env, status, words", [
    (["-p", "{absent}"], {}, 4, "absent"),
    (["--sim", "-p", "x"], {}, 2, "not allowed with"),
    (["--sim", "--channels", "0-3"], {}, 2, "channels run from 1 to 255"),
    (["--sim", "--timeout", "0"], {}, 2, "--timeout: timeout 0.0 is not more than 0"),
    (["--sim", "--http-port", "{busy}"], {}, 5, "cannot serve on 127.0.0.1 port"),
    (["--sim", "--bind", "192.0.2.1"], {}, 5, "cannot serve on 192.0.2.1"),
    (["--sim"], {"KQ2741_PANEL_TOKEN": "short"}, 2, "$KQ2741_PANEL_TOKEN: a token is 8 to 128 characters"),
    (["-p", "{sim}", "--channels", "1-3"], {}, 2, "channel 3 does not answer"),
    (["-p", "{held}"], {}, 4, "held by"),
])
def test_start_failures_are_one_line_and_a_status(tmp_path, args, env, status, words):
    held, busy = free_port_in_use()
    with held, Simulator("--channels", 2) as sim, Simulator("--channels", 1) as other, Attenuator(other.port):
        places = {"absent": str(tmp_path / "absent"), "busy": busy, "sim": sim.port, "held": other.port}
        with Panel(*[a.format(**places) for a in args], env=env).start(serve=False) as panel:
            assert panel.wait() == status
            assert panel.proc.stdout.read() == b""
            assert words in panel.log() and panel.log().count("\n") == 1, panel.log()


def test_without_starlette_it_says_what_to_install():
    code = "import sys; sys.modules['starlette'] = None; from kq2741ctl.panel import main; main()"
    ran = subprocess.run([sys.executable, "-c", code, "--sim"], capture_output=True, text=True, timeout=20)
    assert (ran.returncode, ran.stdout) == (2, "")
    assert ran.stderr == 'kq2741-panel: Starlette and uvicorn are not installed: pip install "kq2741[panel]"\n'


def test_a_page_that_falls_behind_is_dropped_and_the_others_keep_up():
    from kq2741ctl.panel.hub import Hub

    hub = Hub(backlog=3)
    slow, quick = hub.subscribe(), hub.subscribe()
    got = []
    for i in range(5):
        hub.publish({"type": "channel", "i": i})
        got.append(quick.queue.get_nowait())
    assert len(got) == 5 and len(hub) == 1 and slow.reason == "fell too far behind"
    assert slow.queue.get_nowait() is None and slow.queue.empty()  # told to start again, with nothing stale


def test_a_change_whose_request_went_away_still_reaches_every_page():
    from kq2741ctl.panel.hub import Hub
    from kq2741ctl.panel.instrument import Instrument

    async def scenario(port):
        hub = Hub()
        listener = hub.subscribe()
        with Attenuator(port) as att:
            instrument = Instrument(att, (1,), hub)
            assert await instrument.first_look() is None
            request = asyncio.ensure_future(instrument.set_attenuation(1, Decimal("6.5")))
            await asyncio.sleep(0.02)  # the exchange is on the line (50 ms per answer)
            request.cancel()
            while '"attenuation":6.5' not in (message := await asyncio.wait_for(listener.queue.get(), 2)):
                assert "snapshot" in message
            await instrument.stop()

    with Simulator("--channels", 1, "--delay-ms", 50) as sim:
        asyncio.run(scenario(sim.port))
        assert steps(sim) == 650
