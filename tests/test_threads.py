"""One operation at a time, whatever the threads: several threads on one
driver, two instruments driven from two threads, re-entrant calls, and
Ctrl-C while a thread waits for its turn. The simulated instruments answer
through pyserial with the driver's real 0.2 s wait."""
from __future__ import annotations

import signal
import threading
import time

import pytest
import serial

from conftest import FakeSerial, request
from kq2741 import KQ2741
from simulator import Simulator

needs_sim = pytest.mark.needs("kq2741-sim")
ACK = request(0x7B, 1, 6, 0x14, 0x34, 0)


def run_in_threads(*jobs, timeout=30.0):
    """Runs each job in its own thread; re-raises the first failure."""
    errors: list[BaseException] = []

    def guarded(job):
        try:
            job()
        except BaseException as error:  # noqa: BLE001 - reported to the test
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(job,)) for job in jobs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout)
        assert not thread.is_alive(), "a thread is stuck: the lock was not released"
    if errors:
        raise errors[0]


@needs_sim
def test_threads_sharing_one_driver_each_read_back_their_own_channel():
    lists = {1: [1310, 1490, 1550], 2: [1310, 1550, 1625], 3: [1490]}
    with Simulator("--channel-wavelengths", "2=1310,1550,1625", "--channel-wavelengths", "3=1490") as sim:
        kq = KQ2741(sim.port)
        assert kq.open()
        try:

            def worker(ch):
                for step in range(2):
                    mdb = ch * 1000 + step * 10
                    assert kq.set_attenuation(mdb, ch) is True
                    assert kq.read_current_status(ch)["attenuation"] == mdb
                    assert kq.read_optical_length(ch) == lists[ch]
                assert kq.set_optical_length(lists[ch][-1], ch) is True

            run_in_threads(*(lambda ch=ch: worker(ch) for ch in lists))
        finally:
            kq.close()
        for ch, wavelengths in lists.items():
            state = sim.state()["channels"][ch - 1]
            assert (state["attenuation_steps"], state["wavelength_index"]) == (ch * 100 + 1, len(wavelengths) - 1)


class SlowToDrain:
    """pyserial's connection, but asking what is waiting takes 5 ms: time
    enough for another thread to patch the shared template between this
    thread's patching and sending, if nothing kept it out."""

    def __init__(self, ser):
        self._ser = ser

    def __getattr__(self, name):
        return getattr(self._ser, name)

    def inWaiting(self):
        time.sleep(0.005)
        return self._ser.inWaiting()


@needs_sim
def test_two_instruments_from_two_threads_take_turns():
    with Simulator() as first, Simulator() as second:
        drivers = [KQ2741(first.port), KQ2741(second.port)]
        assert all(kq.open() for kq in drivers)
        for kq in drivers:
            kq.ser = SlowToDrain(kq.ser)
        try:

            def sweep(kq, ch, base):
                for step in range(3):
                    assert kq.set_attenuation(base + step * 10, ch) is True
                    assert kq.read_current_status(ch)["attenuation"] == base + step * 10

            run_in_threads(lambda: sweep(drivers[0], 1, 1000), lambda: sweep(drivers[1], 2, 5000))
        finally:
            for kq in drivers:
                kq.close()
        assert [ch["attenuation_steps"] for ch in first.state()["channels"]] == [102, 0, 0, 0]
        assert [ch["attenuation_steps"] for ch in second.state()["channels"]] == [0, 502, 0, 0]


def test_an_operation_may_call_another_on_its_own_thread(connect):
    kq, _ = connect()

    class CallsBack(FakeSerial):
        nested = None

        def write(self, data):
            if self.nested is None:
                self.nested = "calling"
                self.nested = kq.close_full_screen()
            return super().write(data)

    kq.ser = CallsBack([ACK, ACK])
    results = []
    run_in_threads(lambda: results.append(kq.clear_attenuation(2)), timeout=5)
    assert results == [True] and kq.ser.nested is True


@pytest.mark.parametrize("failure", [KeyboardInterrupt, serial.SerialException])
def test_the_lock_is_released_when_an_operation_fails(connect, fake_time, failure):
    kq, _ = connect(ACK)

    def failing_sleep(seconds):
        raise failure("stopped in the wait")

    fake_time.sleep = failing_sleep
    with pytest.raises(failure):
        kq.set_attenuation(500, 1)
    assert kq.ser.take_unread() == (ACK, [])  # sent, answered, never read
    del fake_time.sleep
    other, _ = connect(ACK)
    results = []
    run_in_threads(lambda: results.append(other.clear_attenuation(1)), timeout=5)
    assert results == [True]


def test_ctrl_c_ends_the_wait_for_the_lock_and_leaves_it_usable(connect):
    entered, leave = threading.Event(), threading.Event()

    class Blocking(FakeSerial):
        def write(self, data):
            entered.set()
            leave.wait(10)
            return super().write(data)

    holder, _ = connect()
    holder.ser = Blocking([ACK])
    holding = threading.Thread(target=holder.clear_attenuation)
    holding.start()
    waiter, line = connect(ACK)
    interrupt = threading.Timer(0.2, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    try:
        assert entered.wait(5)
        interrupt.start()
        with pytest.raises(KeyboardInterrupt):
            waiter.set_attenuation(1100, 2)
    finally:
        interrupt.cancel()
        leave.set()
        holding.join(5)
    assert line.writes == []
    assert waiter.set_attenuation(1100, 2) is True
    assert line.writes == [request(0x7B, 2, 7, 0x14, 0x3C, 0x6E, 0)]
