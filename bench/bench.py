"""Cost of each driver operation.

1. The driver's own cost per call: everything but the fixed 0.2 s wait
   (the module's `time` replaced by a no-op sleep) on a minimal in-memory
   connection, beside the same logic written as plain Python.
2. End to end over the simulator's pseudo-terminal: median and spread of a
   call, whose floor is the 0.2 s wait.

    python bench/bench.py [--quick]
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import kq2741
from kq2741 import KQ2741

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from python_reference import PlainDriver  # noqa: E402
from simulator import Simulator  # noqa: E402
from wire import request as framed  # noqa: E402


ACK = framed(0x7B, 1, 6, 0x14, 0x3C, 0)
OPERATIONS = {
    "read_device_version": (lambda k: k.read_device_version(), framed(0x7B, 1, 8, 0, 3, 2, 50, 32)),
    "read_optical_length": (lambda k: k.read_optical_length(2), framed(0x7B, 2, 12, 7, 0x2E, 3, 0x1E, 5, 0xD2, 5, 0x0E, 6)),
    "set_optical_length": (lambda k: k.set_optical_length(1490, 2), None),
    "read_current_status": (lambda k: k.read_current_status(2), framed(0x7B, 2, 10, 0x14, 0x36, 0, 0, 1, 0x6E, 0)),
    "set_attenuation": (lambda k: k.set_attenuation(1100, 2), ACK),
    "clear_attenuation": (lambda k: k.clear_attenuation(2), ACK),
    "dis_connection": (lambda k: k.dis_connection(2), ACK),
    "close_full_screen": (lambda k: k.close_full_screen(), ACK),
}


class MemoryLine:
    """The smallest connection: each write makes the next answer wait."""

    __slots__ = ("answers", "turn", "waiting")

    def __init__(self, *answers: bytes):
        self.answers = answers
        self.turn = 0
        self.waiting = b""

    def write(self, frame):
        self.waiting = self.answers[self.turn % len(self.answers)]
        self.turn += 1

    def inWaiting(self):
        return len(self.waiting)

    def read(self, n):
        data, self.waiting = self.waiting, b""
        return data


class NoWait:
    @staticmethod
    def sleep(seconds):
        pass


def answers_for(name: str) -> tuple[bytes, ...]:
    if name == "set_optical_length":  # the list query, then the selection
        return OPERATIONS["read_optical_length"][1], ACK
    return (OPERATIONS[name][1],)


def per_call_ns(call, target, repeat: int, number: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter_ns()
        for _ in range(number):
            call(target)
        best = min(best, (time.perf_counter_ns() - start) / number)
    return best


def own_cost(number: int) -> list[tuple[str, float, float | None]]:
    saved_time, saved_ref_time = kq2741.time, sys.modules["python_reference"].time
    kq2741.time = NoWait
    sys.modules["python_reference"].time = NoWait
    rows = []
    try:
        for name, (call, _) in OPERATIONS.items():
            driver = KQ2741("memory")
            driver.ser = MemoryLine(*answers_for(name))
            ns = per_call_ns(call, driver, 5, number)
            plain = None
            if hasattr(PlainDriver, name):
                plain = per_call_ns(call, PlainDriver(MemoryLine(*answers_for(name))), 5, number)
            rows.append((name, ns, plain))
    finally:
        kq2741.time, sys.modules["python_reference"].time = saved_time, saved_ref_time
    return rows


def end_to_end(samples: int) -> list[tuple[str, float, float, float]]:
    rows = []
    with Simulator() as sim:
        driver = KQ2741(sim.port)
        if not driver.open():
            raise SystemExit("cannot open the simulator's port")
        try:
            for name, (call, _) in OPERATIONS.items():
                times = []
                for _ in range(samples):
                    start = time.perf_counter()
                    call(driver)
                    times.append(time.perf_counter() - start)
                rows.append((name, statistics.median(times), min(times), max(times)))
        finally:
            driver.close()
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer iterations and samples")
    args = parser.parse_args()
    number, samples = (20_000, 5) if args.quick else (200_000, 15)

    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} (figures vary with load)\n")
    print("driver's own cost per call (no wait, in-memory connection; best of 5 runs)")
    print(f"{'operation':<22}{'C++ driver':>12}{'plain Python':>14}")
    rows = own_cost(number)
    for name, ns, plain in rows:
        print(f"{name:<22}{ns / 1000:>10.2f} us{'' if plain is None else f'{plain / 1000:>11.2f} us'}")
    single = [ns for name, ns, _ in rows if name != "set_optical_length"]
    print(f"{'mean (one exchange)':<22}{statistics.mean(single) / 1000:>10.2f} us\n")

    print(f"end to end over the simulator's pty ({samples} calls each; the wait alone is 200 ms)")
    print(f"{'operation':<22}{'median':>10}{'min':>10}{'max':>10}{'median-wait':>13}")
    for name, median, low, high in end_to_end(samples):
        waits = 2 if name == "set_optical_length" else 1
        print(f"{name:<22}{median * 1e3:>8.2f} ms{low * 1e3:>8.2f} ms{high * 1e3:>8.2f} ms"
              f"{(median - 0.2 * waits) * 1e3:>10.3f} ms")


if __name__ == "__main__":
    main()
