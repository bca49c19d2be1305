"""kq2741sim://, the simulated instrument inside the process, beside
kq2741-sim on its pseudo-terminal: the same model, two transports.

1. One Attenuator exchange (a status read): median and 99th percentile on
   each (the goal for kq2741sim:// is a median of at most 0.05 ms).
2. The raw line: a status request written and its answer read with pyserial
   on each, no Attenuator in between.
3. A 100-point sweep with read-back through the Attenuator on each.

The wine medians (a Windows CPython driving kq2741-sim through a COM port
and kq2741sim://) are what `make check-windows` prints.

    python bench/simulator_bench.py [--quick]
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import serial
from kq2741ctl import Attenuator

sys.path.insert(0, str(Path(__file__).resolve().parent))
from attenuator_bench import STATUS_REQUEST, percentile, simulator  # noqa: E402


def timed(call, count: int) -> list[float]:
    for _ in range(min(count, 200)):  # warm up
        call()
    times = []
    for _ in range(count):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return times


def summary(times: list[float]) -> str:
    return f"median {statistics.median(times) * 1e3:.4f} ms, p99 {percentile(times, 99) * 1e3:.4f} ms"


def raw_exchange(line: serial.SerialBase) -> None:
    line.write(STATUS_REQUEST)
    head = line.read(3)
    line.read(head[2] - 1)


def sweep(att: Attenuator) -> float:
    ch = att.channel(1)
    started = time.perf_counter()
    for i in range(100):
        ch.attenuation = i / 20
        ch.attenuation  # noqa: B018 - the read-back is the point
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls")
    count = 2000 if parser.parse_args().quick else 20000
    with simulator() as pty:
        ports = {"kq2741sim://": "kq2741sim://", "kq2741-sim (pty)": pty}
        for name, port in ports.items():
            with Attenuator(port) as att:
                ch = att.channel(1)
                print(f"Attenuator status exchange on {name}, {count} calls: {summary(timed(ch.status, count))}")
        for name, port in ports.items():
            with serial.serial_for_url(port, timeout=1) as line:
                times = timed(lambda: raw_exchange(line), count)
            print(f"raw pyserial write + framed read on {name}, {count} calls: {summary(times)}")
        for name, port in ports.items():
            with Attenuator(port) as att:
                print(f"100-point sweep with read-back on {name}: {sweep(att) * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
