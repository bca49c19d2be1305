"""kq2741-tango on the simulator, measured from PyTango clients on 127.0.0.1.

1. write_attribute of ch1_attenuation then read_attribute of its read-back,
   one client: median and p99 of the pair (goal <= 1 ms, <= 3 ms).
2. 4 client processes, one per channel, each writing and reading its own
   read-back back: writes per second in total (goal >= 1500) and read-backs
   that were not the client's own value (goal 0).
3. A 1000-point sweep of ch1_attenuation with a change-event subscriber:
   events received of the 1000 (goal: all).

The server is `kq2741-tango --sim` without a database, on a port of its own;
each client process is a DeviceProxy of its own, as separate programs are.
On a 2-core machine the clients compete with the server and the simulator
for the processors, so the figures vary with the machine's load.

    python bench/tango_bench.py [--quick]
"""
from __future__ import annotations

import argparse
import multiprocessing
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from tango_server import Server  # noqa: E402

MS = 1e3


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(p / 100 * (len(ordered) - 1)))]


def write_and_read(url: str, writes: int) -> tuple[list[float], list[float]]:
    """Times of write_attribute + read_attribute, and of write_attribute alone."""
    import tango

    dev = tango.DeviceProxy(url)
    pairs, alone = [], []
    for i in range(writes + 50):
        value = (i % 1000) * 0.01
        start = time.perf_counter()
        dev.write_attribute("ch1_attenuation", value)
        wrote = time.perf_counter()
        got = dev.read_attribute("ch1_attenuation").value
        done = time.perf_counter()
        if abs(got - value) > 0.001:
            raise RuntimeError(f"read back {got} after writing {value}")
        if i >= 50:  # the first ones warm up the connection
            pairs.append(done - start)
            alone.append(wrote - start)
    return pairs, alone


def _writer(url: str, n: int, start: float, end: float, results) -> None:
    """One client program: writes its channel and reads its own read-back."""
    import tango

    dev = tango.DeviceProxy(url)
    name = f"ch{n}_attenuation"
    dev.read_attribute(name)
    while time.time() < start:
        time.sleep(0.001)
    done = wrong = 0
    for i in range(1_000_000):
        value = round(n * 10 + (i % 100) * 0.01, 2)  # never another client's value
        dev.write_attribute(name, value)
        got = dev.read_attribute(name).value
        if time.time() > end:
            break
        done += 1
        wrong += abs(got - value) > 0.001
    results.put((done, wrong))


def many_writers(url: str, clients: int, seconds: float) -> tuple[int, int]:
    spawn = multiprocessing.get_context("spawn")
    results = spawn.Queue()
    start = time.time() + 5  # every writer started and connected by then
    writers = [spawn.Process(target=_writer, args=(url, n, start, start + seconds, results))
               for n in range(1, clients + 1)]
    for w in writers:
        w.start()
    try:
        counts = [results.get(timeout=seconds + 30) for _ in writers]
    finally:
        for w in writers:
            w.join(5)
            if w.is_alive():
                w.kill()
    return sum(d for d, _ in counts), sum(w for _, w in counts)


def sweep_events(url: str, points: int) -> tuple[int, float]:
    """Change events received for a sweep of `points` distinct values, and the
    sweep's duration. The subscriber first sees an event of its own write
    arrive: events pushed before its connection is up are not delivered."""
    import tango

    dev = tango.DeviceProxy(url)
    seen: list[float] = []
    callback = lambda e: seen.append(round(e.attr_value.value, 2)) if not e.err else None  # noqa: E731
    event_id = dev.subscribe_event("ch1_attenuation", tango.EventType.CHANGE_EVENT, callback)
    try:
        for i in range(1, 100):
            dev.write_attribute("ch1_attenuation", 600 + i * 0.01)
            deadline = time.monotonic() + 0.2
            while time.monotonic() < deadline and seen[-1:] != [round(600 + i * 0.01, 2)]:
                time.sleep(0.005)
            if seen[-1:] == [round(600 + i * 0.01, 2)]:
                break
        values = [round(i * 0.01, 2) for i in range(points)]
        start = time.perf_counter()
        for value in values:
            dev.write_attribute("ch1_attenuation", value)
        took = time.perf_counter() - start
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not set(values) <= set(seen):
            time.sleep(0.05)
        return len(set(values) & set(seen)), took
    finally:
        dev.unsubscribe_event(event_id)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer writes and a shorter run")
    args = parser.parse_args()
    writes, seconds = (300, 1.0) if args.quick else (2000, 3.0)

    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} (figures vary with load)")
    with Server("--sim", "--channels", "1-4") as server:
        pairs, alone = write_and_read(server.url, writes)
        print(f"\nch1_attenuation write_attribute + read_attribute of the read-back ({writes} pairs, one client): "
              f"median {statistics.median(pairs) * MS:.2f} ms, p99 {percentile(pairs, 99) * MS:.2f} ms "
              f"(goal <= 1 ms, <= 3 ms)")
        print(f"  write_attribute alone (the setting and the instrument's read-back): median "
              f"{statistics.median(alone) * MS:.2f} ms, p99 {percentile(alone, 99) * MS:.2f} ms")
        done, wrong = many_writers(server.url, 4, seconds)
        print(f"4 client processes on 4 channels, each a write_attribute then a read of its own read-back, "
              f"{seconds:g} s: {done / seconds:.0f} writes/s, {wrong} read-backs not the client's own "
              f"(goal >= 1500/s, 0)")
        received, took = sweep_events(server.url, 1000)
        print(f"1000-point sweep of ch1_attenuation in {took:.2f} s, one change-event subscriber: "
              f"{received} of 1000 events received (goal: all)")
        if server.stop() != 0:
            raise RuntimeError(server.log()[-400:])


if __name__ == "__main__":
    main()
