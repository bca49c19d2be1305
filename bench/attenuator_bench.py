"""kq2741ctl.Attenuator over the simulator's pseudo-terminal, in one run:

1. One exchange (a status read) from Python: median and 99th percentile,
   beside a plain pyserial write and framed read of the same request.
2. A 100-point sweep with read-back, beside the seeded driver KQ2741 doing
   the same sweep on the same simulator (a few of its points, scaled).
3. Four threads on one Attenuator, N operations each on their own channel
   (set, then read back): errors and foreign read-backs.
4. Two Attenuators on two simulators answering after 20 ms, from two
   threads: the time beside the same calls one after the other.
5. A thread waiting on a 100 ms answer: how far another Python thread counts
   meanwhile.

    python bench/attenuator_bench.py [--quick]
"""
from __future__ import annotations

import argparse
import contextlib
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path

import serial
from kq2741 import KQ2741
from kq2741ctl import Attenuator

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from simulator import find_binary  # noqa: E402

STATUS_REQUEST = bytes.fromhex("7B 01 05 14 36 35 7D")


@contextlib.contextmanager
def simulator(*args: object) -> Iterator[str]:
    """A simulator without the state file the tests read, which it would
    write before every answer: the line as the instrument gives it."""
    sim = subprocess.Popen([find_binary(), *map(str, args)], stdout=subprocess.PIPE, text=True)
    try:
        yield sim.stdout.readline().strip()
    finally:
        sim.terminate()
        sim.wait(5)
        sim.stdout.close()


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


def one_exchange(port: str, count: int) -> None:
    with Attenuator(port) as att:
        ch = att.channel(1)
        for _ in range(100):
            ch.status()
        times = []
        for _ in range(count):
            started = time.perf_counter()
            ch.status()
            times.append(time.perf_counter() - started)
    plain = []
    with serial.Serial(port, 115200, timeout=1) as line:
        for _ in range(count):
            started = time.perf_counter()
            line.write(STATUS_REQUEST)
            head = line.read(3)
            line.read(head[2] - 1)
            plain.append(time.perf_counter() - started)
    print(f"one exchange (status), {count} calls: median {statistics.median(times) * 1e3:.3f} ms, "
          f"p99 {percentile(times, 99) * 1e3:.3f} ms; plain pyserial write + framed read: "
          f"median {statistics.median(plain) * 1e3:.3f} ms, p99 {percentile(plain, 99) * 1e3:.3f} ms")


def sweep(port: str, seeded_points: int) -> None:
    points = [i / 100 for i in range(0, 500, 5)]
    with Attenuator(port) as att:
        ch = att.channel(1)
        started = time.perf_counter()
        for db in points:
            ch.attenuation = db
            assert ch.attenuation == db
        fast = time.perf_counter() - started
    kq = KQ2741(port)
    assert kq.open()
    try:
        started = time.perf_counter()
        for db in points[:seeded_points]:
            kq.set_attenuation(round(db * 1000), 1)
            kq.read_current_status(1)
        seeded = (time.perf_counter() - started) / seeded_points * len(points)
    finally:
        kq.close()
    print(f"100-point sweep with read-back: Attenuator {fast * 1e3:.1f} ms; KQ2741 {seeded:.1f} s "
          f"({seeded_points} points, scaled); {seeded / fast:.0f}x faster")


def threads(port: str, operations: int) -> None:
    errors: list[Exception] = []
    foreign = 0
    with Attenuator(port) as att:

        def work(n: int) -> None:
            nonlocal foreign
            ch = att.channel(n)
            for i in range(operations):
                value = (n * 10000 + i) % 65536 / 100
                try:
                    ch.attenuation = value
                    foreign += ch.attenuation != value
                except Exception as error:  # counted, whatever it is
                    errors.append(error)

        workers = [threading.Thread(target=work, args=(n,)) for n in (1, 2, 3, 4)]
        started = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        took = time.perf_counter() - started
    print(f"4 threads x {operations} operations on one Attenuator: {len(errors)} errors, "
          f"{foreign} foreign read-backs, {4 * operations / took:.0f} operations/s")


def two_instruments(calls: int) -> None:
    with simulator("--delay-ms", 20) as one, simulator("--delay-ms", 20) as two, \
            Attenuator(one) as a, Attenuator(two) as b:
        def run(att: Attenuator) -> None:
            for _ in range(calls):
                att.channel(1).status()

        started = time.perf_counter()
        run(a)
        run(b)
        serial_time = time.perf_counter() - started
        started = time.perf_counter()
        other = threading.Thread(target=run, args=(b,))
        other.start()
        run(a)
        other.join()
        parallel = time.perf_counter() - started
    print(f"two Attenuators, {calls} calls each, 20 ms answers: {parallel * 1e3:.0f} ms from two threads, "
          f"{serial_time * 1e3:.0f} ms one after the other")


def other_thread_runs() -> None:
    with simulator("--delay-ms", 100) as slow, Attenuator(slow) as att:
        ticks = 0
        done = threading.Event()

        def count() -> None:
            nonlocal ticks
            while not done.is_set():
                ticks += 1

        counter = threading.Thread(target=count)
        counter.start()
        att.channel(1).status()
        done.set()
        counter.join()
    print(f"while one thread waited 100 ms for an answer, another counted to {ticks}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls, for a smoke run")
    args = parser.parse_args()
    with simulator() as port:
        one_exchange(port, 1000 if args.quick else 10000)
        sweep(port, 2 if args.quick else 5)
        threads(port, 100 if args.quick else 1000)
    two_instruments(5 if args.quick else 20)
    other_thread_runs()


if __name__ == "__main__":
    main()
