"""The Attenuator keeps its word under hostile use: a value read is the
answer to that call's request whatever stalled or was interrupted before it,
a refused opener changes nothing for the program holding the port, a
re-entrant call fails at once instead of waiting for itself, a forked child
cannot give the parent's claim away, and the frames of a failed exchange are
logged all the same."""
from __future__ import annotations

import logging
import os
import random
import signal
import subprocess
import sys
import termios
import threading
import time

import pytest
import serial

import kq2741
from kq2741ctl import Attenuator, NoAnswer, PortBusy
from inorder import InOrderInstrument
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-sim")


def test_a_long_stall_never_yields_an_earlier_answer():
    # timeout 0.1 s, one stall of 0.55 s, then answers in 10 ms.
    with InOrderInstrument(delay=0.01) as inst, Attenuator(inst.port, timeout=0.1) as att:
        ch = att.channel(1)
        ch.attenuation = 1
        inst.stall(0.55)
        outcomes = []
        for step in ("set 2", "read", "set 3", "read", "read", "read", "read", "read"):
            try:
                if step == "read":
                    status = ch.status()
                    outcomes.append(status.attenuation)
                    assert status.mode == inst.last_status_serial()  # this call's own answer
                    assert status.attenuation == inst.steps[1] / 100
                else:
                    ch.attenuation = int(step[-1])
                    outcomes.append(step)
            except NoAnswer:
                outcomes.append(None)
        time.sleep(0.1)
        outcomes.append(ch.status().attenuation)
        assert outcomes[0] is None and outcomes[-1] == inst.steps[1] / 100


def test_interrupts_at_random_never_yield_another_requests_answer():
    """Ctrl-C at random moments of exchanges: every status read is the
    answer to its own request (the instrument numbers its answers)."""
    with InOrderInstrument(delay=0.003) as inst, Attenuator(inst.port, timeout=0.5) as att:
        ch = att.channel(1)
        rng = random.Random(2741)
        done = threading.Event()

        def interrupter():
            while not done.wait(rng.uniform(0.001, 0.008)):
                os.kill(os.getpid(), signal.SIGINT)

        checked = interrupted = 0
        thread = threading.Thread(target=interrupter)
        thread.start()
        try:
            deadline = time.monotonic() + 10  # a loaded or sanitized run is slower
            while time.monotonic() < deadline and checked < 300:
                try:
                    status = ch.status()
                    mine = status.mode == inst.last_status_serial()
                    checked += 1
                    assert mine, (status, inst.requests[-3:])
                except KeyboardInterrupt:
                    interrupted += 1
        finally:
            done.set()
            while thread.is_alive():
                try:
                    thread.join()
                except KeyboardInterrupt:
                    pass
        assert checked > 20 and interrupted > 5


def quiet_python(code: str, port: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code, port], capture_output=True, text=True, timeout=20)


DISTURBANCES = {
    "refused open here": lambda port: pytest.raises(PortBusy, Attenuator(port).open),
    "refused open elsewhere": lambda port: quiet_python(
        "import sys\nfrom kq2741ctl import Attenuator, PortBusy\n"
        "try: Attenuator(sys.argv[1]).open()\nexcept PortBusy: pass\nelse: raise SystemExit(1)", port),
    "stty min 0": lambda port: subprocess.run(["stty", "-F", port, "min", "0"], check=True, timeout=10),
    "root opens and closes with pyserial": lambda port: serial.Serial(port).close(),
}


@pytest.mark.parametrize("disturb", DISTURBANCES.values(), ids=DISTURBANCES.keys())
def test_a_refused_or_foreign_opener_leaves_the_holder_working(disturb):
    if os.geteuid() != 0 and "root" in disturb.__name__:
        pytest.skip("needs root, which TIOCEXCL does not bind")
    with Simulator() as sim, Attenuator(sim.port, timeout=0.5) as holder:
        ch = holder.channel(1)
        ch.attenuation = 1.5
        result = disturb(sim.port)
        if isinstance(result, subprocess.CompletedProcess):
            assert result.returncode == 0, result.stderr
        for value in (2.5, 3.5):  # an empty line is not taken for a hang-up
            time.sleep(0.05)
            ch.attenuation = value
            assert ch.attenuation == value


HOLDERS = {
    "pyserial": lambda port: serial.Serial(port, timeout=0),
    "seeded driver": lambda port: kq2741.KQ2741(port),
}


@pytest.mark.parametrize("make", HOLDERS.values(), ids=HOLDERS.keys())
def test_a_holder_in_the_same_program_is_seen_before_anything_changes(make):
    with Simulator() as sim:
        holder = make(sim.port)
        if isinstance(holder, kq2741.KQ2741):
            assert holder.open()
            line = holder.ser
        else:
            line = holder
        try:
            before = termios.tcgetattr(line.fileno())
            with pytest.raises(PortBusy, match="already open in this program"):
                Attenuator(sim.port).open()
            assert termios.tcgetattr(line.fileno()) == before
        finally:
            line.close()
        with Attenuator(sim.port) as att:  # free again
            att.channel(1).status()


def test_a_forked_child_cannot_give_the_parents_claim_away():
    with Simulator() as sim, Attenuator(sim.port) as att:
        att.channel(1).status()
        pid = os.fork()
        if pid == 0:  # the child: close, and let the collector drop it
            try:
                att.close()
                del globals()["Attenuator"]
            finally:
                os._exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        other = quiet_python("import sys\nfrom kq2741ctl import Attenuator, PortBusy\n"
                             "try: Attenuator(sys.argv[1]).open()\nexcept PortBusy: print('busy')", sim.port)
        assert other.stdout == "busy\n", other.stderr
        att.channel(1).status()  # still the parent's


REENTRANT = {
    "logging handler": """
import logging, sys
from kq2741ctl import Attenuator
att = Attenuator(sys.argv[1], timeout=1)
seen = []
class Echo(logging.Handler):
    def emit(self, record):
        try: att.channel(2).status()
        except RuntimeError as e: seen.append(str(e))
log = logging.getLogger("kq2741ctl"); log.setLevel(logging.DEBUG); log.addHandler(Echo())
with att: att.channel(1).status()
assert seen and "reentrant call" in seen[0], seen
print("ok")
""",
    "signal handler that closes the port": """
import signal, sys
from kq2741ctl import Attenuator
att = Attenuator(sys.argv[1], timeout=2)
signal.signal(signal.SIGALRM, lambda *_: att.close())
att.open()
signal.setitimer(signal.ITIMER_REAL, 0.05)
try: att.channel(1).status()
except RuntimeError as e: assert "reentrant call" in str(e), e
else: raise SystemExit("no error")
att.close()
print("ok")
""",
}


@pytest.mark.parametrize("code", REENTRANT.values(), ids=REENTRANT.keys())
def test_a_reentrant_call_fails_at_once_instead_of_hanging(code):
    with Simulator("--delay-ms", 300) as sim:
        started = time.monotonic()
        result = quiet_python(code, sim.port)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr
    assert time.monotonic() - started < 5


def test_an_exchange_cut_short_still_logs_its_frames(caplog):
    with Simulator("--delay-ms", 300) as sim, Attenuator(sim.port, timeout=2) as att:
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
        with caplog.at_level(logging.DEBUG, logger="kq2741ctl"), pytest.raises(KeyboardInterrupt):
            att.channel(1).attenuation = 4
        assert [r.getMessage()[:2] for r in caplog.records] == ["tx"]
        time.sleep(0.3)
        assert sim.state()["channels"][0]["attenuation_steps"] == 400  # it was applied, and the log says sent


def test_a_logging_filter_that_raises_leaves_an_applied_set_applied(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)

    class Broken(logging.Filter):
        def filter(self, record):
            raise ValueError("filter broke")

    log = logging.getLogger("kq2741ctl")
    broken = Broken()
    with Simulator() as sim, Attenuator(sim.port) as att:
        log.setLevel(logging.DEBUG)
        log.addFilter(broken)
        try:
            att.channel(1).attenuation = 7  # no exception: the instrument took it
        finally:
            log.removeFilter(broken)
            log.setLevel(logging.NOTSET)
        assert sim.state()["channels"][0]["attenuation_steps"] == 700
    assert [type(r.exc_value) for r in reported] == [ValueError]
