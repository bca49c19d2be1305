"""An Attenuator after its line is lost (adapter unplugged, simulator killed):
calls fail at once while the port is gone, and once the same name is back
the next call opens it again, takes the claim again, gets back in step and
succeeds, sending no request twice."""
from __future__ import annotations

import subprocess
import sys
import threading
import time

import pytest
import serial

from kq2741ctl import Attenuator, NoAnswer, PortBusy
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-sim")

TIMEOUT = 0.3


@pytest.fixture
def link(tmp_path):
    return str(tmp_path / "kq2741")


def lost_call(att) -> float:
    """One call while the port is gone: how long it took to fail."""
    started = time.monotonic()
    with pytest.raises((NoAnswer, serial.SerialException)):
        att.channel(1).status()
    return time.monotonic() - started


def test_calls_fail_fast_while_lost_and_succeed_once_the_port_is_back(link):
    first = Simulator("--link", link).start()
    try:
        with Attenuator(link, timeout=TIMEOUT) as att:
            att.channel(1).attenuation = 1.5
            first.kill()
            took = [lost_call(att) for _ in range(3)]
            assert max(took) < TIMEOUT + 0.05, took
            with Simulator("--link", link) as second:
                att.channel(2).attenuation = 2.5  # the first call after the restart
                assert att.channel(2).attenuation == 2.5
                state = second.state()
                assert state["channels"][1]["attenuation_steps"] == 250
                assert state["channels"][0]["attenuation_steps"] == 0  # 1.5 went to the first simulator only
            assert att.is_open
    finally:
        first.close()


def test_a_request_cut_by_the_loss_is_not_sent_again(link):
    with Simulator("--link", link, "--delay-ms", 200) as first, Attenuator(link, timeout=1) as att:
        att.channel(1).status()
        threading.Timer(0.05, first.kill).start()
        with pytest.raises(serial.SerialException):
            att.channel(3).attenuation = 3  # sent, then the line went
        with Simulator("--link", link) as second:
            assert att.channel(1).attenuation == 0
            requests = second.state()["requests"]
            assert second.state()["channels"][2]["attenuation_steps"] == 0
    # the probe that got back in step, and the status: nothing else reached the new one
    assert requests == 2


def test_without_reconnect_the_lost_line_stays_lost(link):
    first = Simulator("--link", link).start()
    try:
        with Attenuator(link, timeout=TIMEOUT, reconnect=False) as att:
            att.channel(1).status()
            first.kill()
            with Simulator("--link", link):
                for _ in range(2):
                    with pytest.raises(serial.SerialException):
                        att.channel(1).status()
    finally:
        first.close()


def test_a_port_taken_meanwhile_is_refused_on_reconnect(link):
    first = Simulator("--link", link).start()
    try:
        with Attenuator(link, timeout=TIMEOUT) as att:
            att.channel(1).status()
            first.kill()
            with Simulator("--link", link):
                holder = subprocess.Popen(
                    [sys.executable, "-c", "import sys\nfrom kq2741ctl import Attenuator\n"
                     "a = Attenuator(sys.argv[1]); a.open(); print(flush=True); sys.stdin.read()", link],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                try:
                    holder.stdout.readline()
                    with pytest.raises(PortBusy, match=f"process {holder.pid} "):
                        att.channel(1).status()
                finally:
                    holder.communicate(timeout=10)
                assert att.channel(1).attenuation == 0  # free again: taken this time
    finally:
        first.close()


def test_reconnect_must_be_a_bool():
    with pytest.raises(TypeError, match="reconnect"):
        Attenuator("/dev/null", reconnect=1)
    assert Attenuator("/dev/null").reconnect is True
    assert Attenuator("/dev/null", reconnect=False).reconnect is False
