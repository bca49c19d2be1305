"""kq2741ctl over the simulator's pseudo-terminal, beside the Python driver.

1. One exchange: request written to answer frame complete, from the
   --verbose tx/rx timestamps of a batch of status reads, two exchanges each
   (the channel's wavelength list, then its status) (median, min, max),
   and the first exchange of a fresh process (median over runs).
2. A whole `kq2741ctl status 1` process, start to exit (median), and one
   refused because another kq2741ctl holds the port.
3. A 100-point sweep with read-back (200 exchanges), one process (median).
4. The Python driver's time per exchange (its fixed 0.2 s wait plus the
   line), from a few status reads, scaled to the same 200 exchanges.

The simulator writes its state file before every answer, which is part of
each exchange here. A whole process includes kq2741ctl's look through /proc
for other programs holding the port, which grows with the number of
processes on the machine (printed).

    python bench/ctl_bench.py [--quick]
"""
from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

from kq2741 import KQ2741

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from ctl import find_ctl  # noqa: E402
from simulator import Simulator  # noqa: E402

STAMP = re.compile(r"^kq2741ctl \[\s*([\d.]+)\] (tx|rx) ")


def exchange_times(ctl: str, port: str, count: int) -> list[float]:
    result = subprocess.run([ctl, "-p", port, "--verbose", "batch"], input="status 1\n" * count,
                            capture_output=True, text=True, check=True)
    times, sent = [], None
    for line in result.stderr.splitlines():
        if m := STAMP.match(line):
            if m[2] == "tx":
                sent = float(m[1])
            elif sent is not None:
                times.append(float(m[1]) - sent)
                sent = None
    assert len(times) == 2 * count, result.stderr[-500:]
    return times


def first_exchanges(ctl: str, port: str, runs: int) -> list[float]:
    times = []
    for _ in range(runs):
        result = subprocess.run([ctl, "-p", port, "--verbose", "status", "1"], capture_output=True, text=True,
                                check=True)
        sent, answered = [float(m[1]) for m in map(STAMP.match, result.stderr.splitlines()) if m][:2]
        times.append(answered - sent)
    return times


def wall_times(args: list[str], runs: int, status: int = 0) -> list[float]:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
        assert result.returncode == status, (args, result.returncode)
    return times


def refused_times(ctl: str, port: str, runs: int) -> list[float]:
    holder = subprocess.Popen([ctl, "-p", port, "batch"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        holder.stdin.write("status 1\n")
        holder.stdin.flush()
        holder.stdout.readline()  # it holds the port now
        return wall_times([ctl, "-p", port, "status", "1"], runs, status=4)
    finally:
        holder.stdin.close()
        holder.wait()


def driver_exchange(port: str, count: int) -> list[float]:
    driver = KQ2741(port)
    if not driver.open():
        raise SystemExit("cannot open the simulator's port")
    try:
        times = []
        for _ in range(count):
            start = time.perf_counter()
            assert driver.read_current_status(1) is not None
            times.append(time.perf_counter() - start)
        return times
    finally:
        driver.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer samples")
    args = parser.parse_args()
    exchanges, runs, sweeps, driver_reads = (200, 10, 3, 3) if args.quick else (1000, 30, 5, 5)
    ctl = find_ctl()
    if ctl is None:
        raise SystemExit("kq2741ctl not found: run make bootstrap")

    processes = sum(name.isdigit() for name in os.listdir("/proc"))
    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}, {processes} processes"
          " (figures vary with load)")
    with Simulator() as sim:
        one = exchange_times(ctl, sim.port, exchanges)
        first = first_exchanges(ctl, sim.port, runs)
        process = wall_times([ctl, "-p", sim.port, "status", "1"], runs)
        refused = refused_times(ctl, sim.port, runs)
        sweep = wall_times([ctl, "-p", sim.port, "sweep", "1", "0", "0.99", "0.01"], sweeps)
        driver = driver_exchange(sim.port, driver_reads)

    ms = 1e3
    print("\nkq2741ctl over the simulator's pty")
    print(f"  one exchange (tx to rx, {len(one)} exchanges of {exchanges} status reads in a batch): median {statistics.median(one) * ms:.3f} ms,"
          f" min {min(one) * ms:.3f} ms, max {max(one) * ms:.3f} ms")
    print(f"  the first exchange of a fresh process ({runs} runs): median {statistics.median(first) * ms:.3f} ms")
    print(f"  a whole 'kq2741ctl status 1' process ({runs} runs): median {statistics.median(process) * ms:.2f} ms")
    print(f"  the same, refused: another kq2741ctl holds the port ({runs} runs):"
          f" median {statistics.median(refused) * ms:.2f} ms")
    print(f"  100-point sweep with read-back ({sweeps} runs): median {statistics.median(sweep) * ms:.1f} ms")
    per_exchange = statistics.median(driver)
    print(f"\nPython driver: {per_exchange * ms:.1f} ms per exchange ({driver_reads} status reads)")
    print(f"  100-point sweep with read-back = 200 exchanges: {200 * per_exchange:.1f} s (scaled)")
    print(f"\nsweep: kq2741ctl is {200 * per_exchange / statistics.median(sweep):.0f} times faster")


if __name__ == "__main__":
    main()
