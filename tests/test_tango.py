"""kq2741-tango on the simulator, driven by PyTango clients: without a Tango
database (the URL the server prints), and once with PyTango's own database."""
from __future__ import annotations

import contextlib
import math
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
import tango
from tango import AttrQuality, AttrWriteType, CmdArgType, DevFailed, DevState, EventType

from kq2741ctl import Attenuator
from scripted import ScriptedInstrument
from simulator import Simulator
from tango_server import Database, Server, free_port
from wire import frame, status_answer

pytestmark = pytest.mark.needs("kq2741-tango", "kq2741-sim")

CH2 = "2=1310,1550,1625"
SETTING = re.compile(r" rx .*\| ch\d+ (set attenuation|select|clear|disconnect|full-screen)")


def until(check, timeout: float, step: float = 0.02):
    """check()'s first true result within timeout seconds, else its last."""
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result or time.monotonic() > deadline:
            return result
        time.sleep(step)


def channel(sim, n):
    return sim.state()["channels"][n - 1]


def failure(caught) -> tuple[str, str]:
    error = caught.value.args[0]
    return error.reason, error.desc


@pytest.fixture(scope="module")
def served():
    with Simulator("--channels", 2, "--channel-wavelengths", CH2, "--verbose") as sim:
        with Server("-p", sim.port, "--channels", "1-2") as server:
            yield sim, tango.DeviceProxy(server.url), server.url
            assert server.stop() == 0


@pytest.mark.parametrize("name, dtype, writable, fields", [
    ("ch1_attenuation", CmdArgType.DevDouble, AttrWriteType.READ_WRITE,
     {"unit": "dB", "format": "%.2f", "min_value": "0", "max_value": "655.35"}),
    ("ch2_wavelength", CmdArgType.DevLong64, AttrWriteType.READ_WRITE, {"unit": "nm"}),
    ("ch2_wavelengths", CmdArgType.DevLong64, AttrWriteType.READ, {"unit": "nm"}),
    ("ch1_mode", CmdArgType.DevLong64, AttrWriteType.READ, {}),
    ("version", CmdArgType.DevString, AttrWriteType.READ, {}),
])
def test_attributes_and_their_properties(served, name, dtype, writable, fields):
    _, dev, _ = served
    config = dev.get_attribute_config(name)
    assert (config.data_type, config.writable) == (dtype, writable)
    assert {key: getattr(config, key) for key in fields} == fields


def test_read_backs_start_from_the_instrument(served):
    sim, dev, _ = served
    assert dev.version == "2.50.32"
    assert list(dev.ch2_wavelengths) == [1310, 1550, 1625]
    assert (dev.ch1_wavelength, dev.ch1_mode) == (1310, 0)
    assert dev.state() == DevState.ON and f"answers on {sim.port}" in dev.status()
    assert dev.get_attribute_config("ch1_attenuation").events.arch_event.archive_abs_change == "0.01"


@pytest.mark.parametrize("act, done, read_back", [
    (lambda d: d.write_attribute("ch1_attenuation", 3.46), lambda s: channel(s, 1)["attenuation_steps"] == 346,
     ("ch1_attenuation", 3.46)),
    (lambda d: d.write_attribute("ch1_attenuation", 655.35), lambda s: channel(s, 1)["attenuation_steps"] == 65535,
     ("ch1_attenuation", 655.35)),
    # a sweep's setpoint, off its step only by float rounding
    (lambda d: d.write_attribute("ch1_attenuation", 29 * 0.01), lambda s: channel(s, 1)["attenuation_steps"] == 29,
     ("ch1_attenuation", 0.29)),
    (lambda d: d.write_attribute("ch2_wavelength", 1625), lambda s: channel(s, 2)["wavelength_index"] == 2,
     ("ch2_wavelength", 1625)),
    (lambda d: d.ClearChannel(1), lambda s: channel(s, 1)["attenuation_steps"] == 0, ("ch1_attenuation", 0.0)),
    (lambda d: d.DisconnectChannel(2), lambda s: not channel(s, 2)["connected"], ("ch2_mode", 0)),
    (lambda d: d.CloseDisplay(), lambda s: "full-screen close: ok" in s.log(), ("version", "2.50.32")),
])
def test_writes_and_commands_complete_after_the_instrument_took_them(served, act, done, read_back):
    sim, dev, _ = served
    dev.ch1_attenuation = 1.0
    dev.ch2_wavelength = 1310
    act(dev)
    assert done(sim)  # right after the call returned
    reading = dev.read_attribute(read_back[0])
    assert reading.value == pytest.approx(read_back[1]) and reading.quality == AttrQuality.ATTR_VALID


@pytest.mark.parametrize("act, reason, words", [
    (lambda d: d.write_attribute("ch1_attenuation", 3.456), "KQ2741_ValueRefused",
     "attenuation 3.456 dB lies between two 0.01 dB steps"),
    (lambda d: d.write_attribute("ch1_attenuation", 655.36), "API_WAttrOutsideLimit", "above the maximum"),
    (lambda d: d.write_attribute("ch1_attenuation", -0.01), "API_WAttrOutsideLimit", "below the minimum"),
    (lambda d: d.write_attribute("ch1_attenuation", math.nan), "API_WAttrOutsideLimit", "NaN"),
    (lambda d: d.write_attribute("ch2_wavelength", 1490), "KQ2741_ValueRefused",
     "channel 2 does not support 1490 nm; it supports 1310, 1550, 1625"),
    (lambda d: d.ClearChannel(3), "KQ2741_NoSuchChannel", "channel 3 is not served (channels 1-2)"),
    (lambda d: d.DisconnectChannel(0), "KQ2741_NoSuchChannel", "channel 0 is not served"),
])
def test_refused_values_are_exceptions_and_send_nothing(served, act, reason, words):
    sim, dev, _ = served
    dev.ch1_attenuation = 1.0
    dev.ch2_wavelength = 1550
    before, settings = sim.state()["channels"], len(SETTING.findall(sim.log()))
    with pytest.raises(DevFailed) as caught:
        act(dev)
    assert failure(caught)[0] == reason and words in failure(caught)[1]
    assert len(SETTING.findall(sim.log())) == settings
    assert sim.state()["channels"] == before
    assert (dev.ch1_attenuation, dev.ch2_wavelength, dev.state()) == (1.0, 1550, DevState.ON)


def subscribe(dev, name: str, kind: EventType, into: list):
    return dev.subscribe_event(name, kind, lambda e: into.append(None if e.err else e.attr_value.value))


def joined(dev, *received: list) -> None:
    """Writes until its events arrive on every subscription: events pushed
    before the subscriber's connection is up are not delivered."""
    for i in range(1, 40):
        dev.ch1_attenuation = i * 0.01
        if until(lambda: all(seen[-1:] == [pytest.approx(i * 0.01)] for seen in received), 0.25):
            return
    raise AssertionError(f"no event arrived: {received}")


def test_every_change_of_a_read_back_is_pushed(served):
    sim, dev, _ = served
    changes: list = []
    archive: list = []
    wavelengths: list = []
    ids = [subscribe(dev, "ch1_attenuation", EventType.CHANGE_EVENT, changes),
           subscribe(dev, "ch1_attenuation", EventType.ARCHIVE_EVENT, archive),
           subscribe(dev, "ch2_wavelength", EventType.CHANGE_EVENT, wavelengths)]
    try:
        joined(dev, changes, archive)
        sweep = [round(0.2 + i * 0.01, 2) for i in range(60)]  # one step apart, 0.28 to 0.29 among them
        changes.clear()
        archive.clear()
        for db in sweep:
            dev.ch1_attenuation = db
        dev.ClearChannel(1)
        dev.ch2_wavelength = 1625
        assert until(lambda: len(changes) > len(sweep) and len(archive) > len(sweep) and 1625 in wavelengths, 3)
        assert changes == archive == [*sweep, 0.0]
        time.sleep(0.5)  # a few rounds of polling: nothing changed, nothing pushed
        assert len(changes) == len(sweep) + 1
    finally:
        for event_id in ids:
            dev.unsubscribe_event(event_id)


def test_clients_take_turns_each_with_its_own_read_back(served):
    sim, _, url = served
    foreign = []

    def client(n):
        dev = tango.DeviceProxy(url)
        for i in range(40):
            value = round(n * 100 + i * 0.01, 2)
            dev.write_attribute(f"ch{n}_attenuation", value)
            got = dev.read_attribute(f"ch{n}_attenuation").value
            if got != pytest.approx(value):
                foreign.append((n, value, got))

    threads = [threading.Thread(target=client, args=(n,)) for n in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert foreign == []
    assert [c["attenuation_steps"] for c in sim.state()["channels"]] == [10039, 20039]


def test_state_follows_a_silent_a_killed_and_a_restarted_instrument(tmp_path):
    link = tmp_path / "kq2741"
    first = Simulator("--link", link, "--channels", 1).start()
    second = Simulator("--link", link, "--channels", 1)
    try:
        with Server("-p", link, "--channels", "1") as server:
            dev = tango.DeviceProxy(server.url)
            dev.ch1_attenuation = 4.2
            states: list = []
            subscribe(dev, "State", EventType.CHANGE_EVENT, states)
            # First frozen (the port stays open, nothing answers), then gone and
            # replaced by another simulator on the same path.
            for silence, restore, why in [(lambda: first.signal(signal.SIGSTOP), lambda: first.signal(signal.SIGCONT),
                                           f"no answer on {link}"),
                                          (first.kill, second.start, f"the port {link} failed")]:
                silence()
                assert until(lambda: dev.state() == DevState.FAULT, 1.5)
                assert why in dev.status()
                assert dev.read_attribute("ch1_attenuation").quality == AttrQuality.ATTR_INVALID
                with pytest.raises(DevFailed) as caught:
                    dev.ch1_attenuation = 1.0
                assert failure(caught)[0] == "KQ2741_NotConnected"
                restore()
                assert until(lambda: dev.state() == DevState.ON, 2.5)
            assert dev.ch1_attenuation == 0.0  # the new instrument's own value
            dev.ch1_attenuation = 1.5
            assert channel(second, 1)["attenuation_steps"] == 150
            assert states == [DevState.ON, DevState.FAULT, DevState.ON, DevState.FAULT, DevState.ON]
            assert server.stop() == 0
    finally:
        if first.returncode is None:
            first.signal(signal.SIGCONT)
        first.close()
        second.close()


def test_an_instrument_silent_at_start_is_served_once_it_answers():
    with Simulator("--channels", 1) as sim:
        sim.signal(signal.SIGSTOP)
        try:
            with Server("-p", sim.port, "--channels", "1") as server:
                dev = tango.DeviceProxy(server.url)
                assert dev.state() == DevState.FAULT
                assert dev.read_attribute("version").quality == AttrQuality.ATTR_INVALID
                sim.signal(signal.SIGCONT)
                assert until(lambda: dev.state() == DevState.ON, 2.5)
                assert dev.version == "2.50.32"
                assert server.stop() == 0
        finally:
            sim.signal(signal.SIGCONT)


def test_a_slow_answer_holds_up_no_other_client():
    """Another client's State and reads are served while one write waits for the instrument."""
    with Simulator("--channels", 1, "--delay-ms", 300) as sim, \
            Server("-p", sim.port, "--channels", "1", "--timeout", "2", "--poll", "3600") as server:
        slow, other = tango.DeviceProxy(server.url), tango.DeviceProxy(server.url)
        written = threading.Event()

        def write():
            slow.ch1_attenuation = 2.0  # the setting and its read-back: 0.6 s
            written.set()

        writer = threading.Thread(target=write)
        writer.start()
        try:
            assert until(lambda: "set attenuation" in sim.log() or channel(sim, 1)["attenuation_steps"] == 200, 2)
            assert other.state() == DevState.ON and other.ch1_attenuation == 0.0 and "answers" in other.status()
            assert not written.is_set()
        finally:
            writer.join(10)
        assert written.is_set() and other.ch1_attenuation == 2.0


def test_init_and_a_signal_during_a_write_wait_for_it():
    with Simulator("--channels", 1, "--delay-ms", 300, "--verbose") as sim, \
            Server("-p", sim.port, "--channels", "1", "--timeout", "2", "--poll", "3600") as server:
        writer, other = tango.DeviceProxy(server.url), tango.DeviceProxy(server.url)
        events: list = []
        subscribe(other, "ch1_attenuation", EventType.CHANGE_EVENT, events)
        failures: list = []

        def write(value):
            try:
                writer.ch1_attenuation = value
            except DevFailed as error:
                failures.append(error.args[0].desc)

        for value, during in [(2.0, other.Init), (3.0, lambda: server.stop(signal.SIGTERM))]:
            settings = len(SETTING.findall(sim.log()))
            thread = threading.Thread(target=write, args=(value,))
            thread.start()
            assert until(lambda: len(SETTING.findall(sim.log())) > settings, 2)  # the write is in flight
            during()  # neither waits for the other for good (a client gives up after 3 s)
            thread.join(10)
            assert failures == [] and channel(sim, 1)["attenuation_steps"] == value * 100
        assert server.proc.returncode == 0 and 2.0 in events


VERSION = frame(1, b"\x00\x03", bytes([2, 50, 32]))
WAVELENGTHS = frame(1, b"\x07\x2e", bytes([3]) + b"".join(nm.to_bytes(2, "little") for nm in (1310, 1490, 1550)))
SET = b"\x14\x3c"


@pytest.mark.parametrize("reply, reason, words", [
    (frame(1, SET, b"\x01"), "KQ2741_Refused", "the instrument refused set attenuation on channel 1: status 01"),
    (frame(1, SET, b"\x00\x00"), "KQ2741_BadAnswer", "does not have the expected shape: 7B 01 07 14 3C 00 00"),
])
def test_the_instruments_refusal_is_an_exception(reply, reason, words):
    # the look before serving (version, status), the device's first look, then the write and its read-back
    start = [VERSION, status_answer(1, 110), VERSION, WAVELENGTHS, status_answer(1, 110)]
    with ScriptedInstrument([*start, reply, status_answer(1, 110)]) as inst, \
            Server("-p", inst.port, "--channels", "1", "--poll", "3600") as server:
        dev = tango.DeviceProxy(server.url)
        with pytest.raises(DevFailed) as caught:
            dev.ch1_attenuation = 2.5
        assert failure(caught)[0] == reason and words in failure(caught)[1]
        assert inst.requests[5] == frame(1, SET, (250).to_bytes(2, "little"))
        assert dev.ch1_attenuation == 1.1 and dev.state() == DevState.ON  # what the instrument still holds
        assert server.stop() == 0


def test_a_garbled_read_back_is_an_alarm_until_a_good_one():
    garbled = bytearray(status_answer(1, 250))
    garbled[-2] ^= 0xFF  # its checksum
    start = [VERSION, status_answer(1, 110), VERSION, WAVELENGTHS, status_answer(1, 110)]
    clear = [VERSION, frame(1, b"\x14\x34", b"\x00"), status_answer(1, 0)]  # the core's probe first
    with ScriptedInstrument([*start, frame(1, SET, b"\x00"), bytes(garbled), *clear]) as inst, \
            Server("-p", inst.port, "--channels", "1", "--poll", "3600") as server:
        dev = tango.DeviceProxy(server.url)
        with pytest.raises(DevFailed) as caught:
            dev.ch1_attenuation = 2.5  # taken, but its read-back cannot be trusted
        assert failure(caught)[0] == "KQ2741_BadAnswer"
        assert dev.state() == DevState.ALARM and "channel 1: " in dev.status()
        assert dev.read_attribute("ch1_attenuation").quality == AttrQuality.ATTR_INVALID
        dev.ClearChannel(1)
        assert dev.state() == DevState.ON and dev.ch1_attenuation == 0.0
        assert server.stop() == 0


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_signals_end_it_releasing_the_port(sig):
    with Simulator("--channels", 1) as sim, Server("-p", sim.port, "--channels", "1") as server:
        dev = tango.DeviceProxy(server.url)
        dev.ch1_attenuation = 1.0
        started = time.monotonic()
        assert server.stop(sig) == 0 and time.monotonic() - started < 5
        with Attenuator(sim.port, timeout=1) as att:  # PortBusy if the server still held it
            assert att.channel(1).attenuation == 1.0
        tcp = int(server.url.split(":")[2].split("/")[0])
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", tcp), timeout=1).close()


def listening(pid: int) -> set[str]:
    """The addresses a process's TCP sockets listen on (IPv4 as dotted quads)."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    found = set()
    for table in ("tcp", "tcp6"):
        for line in open(f"/proc/{pid}/net/{table}").read().splitlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in inodes:  # LISTEN
                address = fields[1].split(":")[0]
                found.add(socket.inet_ntoa(bytes.fromhex(address)[::-1]) if len(address) == 8 else address)
    return found


def test_sim_starts_a_simulator_for_the_servers_life():
    with Server("--sim", "--tango-port", 0, "--device", "lab/voa/7") as server:
        assert re.fullmatch(r"tango://127\.0\.0\.1:\d+/lab/voa/7#dbase=no", server.url)
        dev = tango.DeviceProxy(server.url)
        dev.subscribe_event("ch1_attenuation", EventType.CHANGE_EVENT, lambda e: None)  # the event port opens
        assert listening(server.proc.pid) == {"127.0.0.1"}
        assert dev.get_attribute_list()[:5] == ["version", "ch1_attenuation", "ch1_wavelength", "ch1_wavelengths",
                                                "ch1_mode"]
        assert "ch4_mode" in dev.get_attribute_list()
        pid = server.proc.pid
        children = [int(c) for c in open(f"/proc/{pid}/task/{pid}/children").read().split()]
        assert len(children) == 1
        assert server.stop() == 0
        with pytest.raises(ProcessLookupError):
            os.kill(children[0], 0)


def run(*args, code=None, env=None):
    ran = subprocess.run([sys.executable, "-c", code or "from kq2741ctl.tango import main; main()", *args],
                         capture_output=True, text=True, timeout=30, env={**os.environ, **(env or {})})
    return ran.returncode, ran.stdout, ran.stderr


@pytest.mark.parametrize("args", [
    ["--channels", "0-3", "--sim"], ["--sim", "-p", "x"], [], ["--tango-port", "70000", "--sim"],
    ["--device", "no-slashes", "--sim"], ["--bind", "somewhere", "--sim"], ["--timeout", "0", "--sim"],
    ["--timeout", "nan", "--sim"], ["--timeout", "3601", "--sim"],
])
def test_usage_errors_are_one_line_and_status_2(args):
    status, out, err = run(*args)
    assert (status, out) == (2, "") and err.startswith("kq2741-tango: ") and err.count("\n") == 1


def test_start_failures(tmp_path):
    no_tango = "import sys; sys.modules['tango'] = None; from kq2741ctl.tango import main; main()"
    status, out, err = run("--sim", code=no_tango)
    assert (status, out) == (2, "") and err.count("\n") == 1 and 'pip install "kq2741[tango]"' in err
    status, out, err = run("-p", str(tmp_path / "absent"))
    assert (status, out) == (4, "") and err.count("\n") == 1 and "absent" in err
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        status, out, err = run("--sim", "--tango-port", str(taken.getsockname()[1]))
        assert (status, out) == (4, "") and err.count("\n") == 1 and "Address already in use" in err
    nobody = f"127.0.0.1:{free_port()}"
    status, out, err = run("lab1", env={"TANGO_HOST": nobody})
    assert (status, out) == (1, "") and err.count("\n") == 1 and f"Tango database at {nobody}" in err
    with Simulator("--channels", 1) as sim:
        status, out, err = run("-p", sim.port, "--channels", "1-2")
        assert (status, out) == (2, "") and f"channel 2 does not answer on {sim.port}" in err
        with Attenuator(sim.port) as holder:
            status, out, err = run("-p", sim.port, "--channels", "1")
            assert (status, out) == (4, "") and "held by another program" in err and err.count("\n") == 1
            assert holder.is_open


DEVICE = "test/kq2741/1"


@pytest.fixture(scope="module")
def database():
    with Database() as db:
        info = tango.DbDevInfo()
        info.name, info._class, info.server = DEVICE, "KQ2741", "kq2741-tango/test"
        db.client.add_device(info)
        yield db


def test_started_with_a_database_its_init_reopens_the_port(database):
    db = database.client
    with Simulator("--channels", 2) as first, Simulator("--channels", 2) as second:
        db.put_device_property(DEVICE, {"Port": [first.port], "Channels": ["1-2"]})
        with Server("test", env=database.env) as server:  # Tango's own first line: Ready to accept request
            dev = tango.DeviceProxy(f"tango://127.0.0.1:{database.port}/{DEVICE}")
            assert dev.state() == DevState.ON and "ch2_attenuation" in dev.get_attribute_list()
            dev.ch2_attenuation = 2.25
            assert channel(first, 2)["attenuation_steps"] == 225
            db.put_device_property(DEVICE, {"Port": [second.port]})
            dev.Init()
            assert dev.state() == DevState.ON and second.port in dev.status()
            assert dev.ch2_attenuation == 0.0
            dev.ch2_attenuation = 1.0
            assert (channel(first, 2)["attenuation_steps"], channel(second, 2)["attenuation_steps"]) == (225, 100)
            with Attenuator(first.port) as att:  # released by Init
                assert att.channel(2).attenuation == 2.25
            assert server.stop() == 0


@pytest.mark.parametrize("change, words", [
    (lambda db: db.put_device_property(DEVICE, {"Port": ["/nonexistent/kq2741"]}),
     "out of reach: the port /nonexistent/kq2741 failed"),
    (lambda db: db.delete_device_property(DEVICE, ["Port"]), "the device property Port is not set"),
    (lambda db: db.put_device_property(DEVICE, {"Timeout": ["0"]}), "property Timeout: timeout 0.0 is not more than 0"),
    (lambda db: db.put_device_property(DEVICE, {"PollPeriod": ["0"]}), "property PollPeriod: 0.0"),
])
def test_init_with_properties_it_cannot_use_is_a_fault_it_says(database, change, words):
    db = database.client
    with Simulator("--channels", 1) as sim:
        db.put_device_property(DEVICE, {"Port": [sim.port], "Channels": ["1"], "Timeout": ["0.25"],
                                        "PollPeriod": ["0.2"]})
        with Server("test", env=database.env) as server:
            dev = tango.DeviceProxy(f"tango://127.0.0.1:{database.port}/{DEVICE}")
            states: list = []
            subscribe(dev, "State", EventType.CHANGE_EVENT, states)
            change(db)
            dev.Init()
            assert dev.state() == DevState.FAULT and words in dev.status()
            assert dev.read_attribute("ch1_attenuation").quality == AttrQuality.ATTR_INVALID
            with pytest.raises(DevFailed):
                dev.ch1_attenuation = 1.0
            assert until(lambda: states[-1:] == [DevState.FAULT], 2)
            assert channel(sim, 1)["attenuation_steps"] == 0
            assert server.stop() == 0


def test_a_channel_list_it_cannot_read_is_a_fault_until_a_restart(database):
    db = database.client
    db.put_device_property(DEVICE, {"Port": ["/dev/null"], "Channels": ["1,0"], "Timeout": ["0.25"],
                                    "PollPeriod": ["0.2"]})
    with Server("test", env=database.env) as server:
        dev = tango.DeviceProxy(f"tango://127.0.0.1:{database.port}/{DEVICE}")
        for _ in range(2):  # as started, then after an Init
            assert dev.state() == DevState.FAULT and "property Channels: '0'" in dev.status()
            dev.Init()
        assert not any(name.startswith("ch") for name in dev.get_attribute_list())
        assert server.stop() == 0


@pytest.mark.parametrize("instance, words", [
    ("nosuch", "has no device of class KQ2741 in the server kq2741-tango/nosuch"),
    ("\udcff", "is not an instance name"),  # the byte FF, as it comes from a command line
])
def test_an_instance_the_database_does_not_hold_is_one_line(database, instance, words):
    status, out, err = run(instance, env=database.env)
    assert (status, out) == (2, "") and err.count("\n") == 1 and words in err
