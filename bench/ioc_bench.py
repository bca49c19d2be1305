"""kq2741-ioc on the simulator, measured from Channel Access clients (caproto).

1. CH1:ATT put with completion, one client: median and p99 (goal <= 2 ms, <= 5 ms).
2. 8 client processes, one per channel, each putting with completion and
   reading its ATT_RBV back: completed puts per second in total (goal >= 800)
   and read-backs that were not the client's own value (goal 0).
3. 20 monitor clients on CH1:ATT_RBV while 100 puts go in: updates each
   received (goal: all 100).
4. Start of `kq2741-ioc -p PORT` to the first successful caget (goal <= 1.5 s).

Everything runs on 127.0.0.1 with ports of its own (tests/epics.py); each
client is its own caproto context, so its own TCP circuit, as separate
programs would be (the writers of 2 are separate processes, the monitors of
3 threads of this one). 1 to 3 run on `kq2741-ioc --sim`; on a 2-core machine
the clients compete with the IOC and the simulator for the processors, so
the figures vary with the machine's load.

    python bench/ioc_bench.py [--quick]
"""
from __future__ import annotations

import argparse
import multiprocessing
import os
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from epics import Ioc, Loopback, answers_search  # noqa: E402
from simulator import Simulator  # noqa: E402

MS = 1e3


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(p / 100 * (len(ordered) - 1)))]


def single_put(Context, puts: int) -> list[float]:
    ctx = Context()
    try:
        att, = ctx.get_pvs("B:CH1:ATT", timeout=5)
        times = []
        for i in range(puts + 20):
            start = time.perf_counter()
            att.write([(i % 1000) * 0.01], wait=True, timeout=2)
            if i >= 20:  # the first ones warm up the circuit
                times.append(time.perf_counter() - start)
        return times
    finally:
        close_all([ctx])


def _writer(n: int, start: float, end: float, results) -> None:
    """One client program: puts with completion and reads its own read-back."""
    from caproto.threading.client import Context

    ctx = Context()
    att, rbv = ctx.get_pvs(f"B:CH{n}:ATT", f"B:CH{n}:ATT_RBV", timeout=5)
    rbv.read(timeout=5)
    while time.time() < start:
        time.sleep(0.001)
    done = wrong = 0
    for i in range(100_000):
        value = round(n * 10 + (i % 100) * 0.01, 2)  # never another client's value
        att.write([value], wait=True, timeout=2)
        got = rbv.read(timeout=2).data[0]
        if time.time() > end:
            break
        done += 1
        wrong += abs(got - value) > 0.001
    results.put((done, wrong))
    results.close()
    results.join_thread()
    os._exit(0)  # without caproto's half-second goodbye


def many_writers(channels: int, seconds: float) -> tuple[int, int]:
    """Puts completed, and read-backs not the writer's own, within the seconds
    measured; each writer a process of its own, as separate programs are."""
    spawn = multiprocessing.get_context("spawn")
    results = spawn.Queue()
    start = time.time() + 5  # every writer started and connected by then
    writers = [spawn.Process(target=_writer, args=(n, start, start + seconds, results))
               for n in range(1, channels + 1)]
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


def close_all(contexts) -> None:
    """caproto takes half a second to close a context: close them side by side."""
    threads = [threading.Thread(target=ctx.disconnect) for ctx in contexts]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)


def monitors(Context, clients: int, puts: int) -> list[int]:
    contexts = [Context() for _ in range(clients + 1)]
    received: list[list[float]] = [[] for _ in range(clients)]
    held = []  # caproto holds callbacks weakly, and a subscription nobody holds ends
    try:
        for ctx, seen in zip(contexts, received):
            rbv, = ctx.get_pvs("B:CH1:ATT_RBV", timeout=5)
            callback = lambda sub, reading, seen=seen: seen.append(round(float(reading.data[0]), 2))  # noqa: E731
            subscription = rbv.subscribe(data_type="time")
            subscription.add_callback(callback)
            held += [callback, subscription]
        att, = contexts[-1].get_pvs("B:CH1:ATT", timeout=5)
        att.write([0.0], wait=True, timeout=2)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not all(received):  # every subscription has its first value
            time.sleep(0.05)
        values = [round(1 + i * 0.01, 2) for i in range(puts)]
        for value in values:
            att.write([value], wait=True, timeout=2)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and any(not set(values) <= set(seen) for seen in received):
            time.sleep(0.05)
        return [len(set(values) & set(seen)) for seen in received]
    finally:
        close_all(contexts)


def start_to_caget(Context, epics: Loopback, port: str, runs: int) -> tuple[list[float], list[float]]:
    """Start of the program to its answer to a search, and to a value read
    over a connection made then (by an already running caproto context)."""
    answered, read = [], []
    for run in range(runs):
        name = f"S{run}:VERSION_RBV"
        ctx = Context()
        ioc = Ioc("-p", port, "--prefix", f"S{run}:", env=epics.server(1))
        start = time.perf_counter()
        ioc.start(serve=False)
        try:
            while not answers_search(name, epics.ca_port(1), 0.01):
                if time.perf_counter() - start > 10:
                    raise RuntimeError(f"no answer to a search within 10 s: {ioc.log()[-400:]}")
            answered.append(time.perf_counter() - start)
            ctx.get_pvs(name, timeout=2)[0].read(timeout=2)
            read.append(time.perf_counter() - start)
            if ioc.stop() != 0:
                raise RuntimeError(ioc.log()[-400:])
        finally:
            ioc.close()
            close_all([ctx])
    return answered, read


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer puts and runs")
    args = parser.parse_args()
    puts, seconds, runs = (300, 1.0, 2) if args.quick else (2000, 3.0, 5)

    epics = Loopback(servers=2)
    os.environ.update(epics.client)
    from caproto.threading.client import Context

    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} (figures vary with load)")
    # --sim: the IOC's own simulator, which keeps no state file (a real
    # instrument costs this machine nothing per exchange; a state file would).
    with Ioc("--sim", "--prefix", "B:", "--channels", "1-8", env=epics.server(0)):
        times = single_put(Context, puts)
        print(f"\nCH1:ATT put with completion over CA ({puts} puts, one client): "
              f"median {statistics.median(times) * MS:.2f} ms, p99 {percentile(times, 99) * MS:.2f} ms "
              f"(goal <= 2 ms, <= 5 ms)")
        done, wrong = many_writers(8, seconds)
        print(f"8 client processes on 8 channels, each a put with completion then a read of its ATT_RBV, "
              f"{seconds:g} s: {done / seconds:.0f} completed puts/s, {wrong} read-backs not the client's own "
              f"(goal >= 800/s, 0)")
        counts = monitors(Context, 20, 100)
        print(f"20 monitor clients on CH1:ATT_RBV, 100 puts: each received {min(counts)} to {max(counts)} "
              f"of the 100 updates (goal: all)")

    with Simulator() as sim:
        answered, read = start_to_caget(Context, epics, sim.port, runs)
    print(f"start of kq2741-ioc to its first answer to a search ({runs} runs): median "
          f"{statistics.median(answered):.2f} s, max {max(answered):.2f} s")
    print(f"  ... to the first caget's value: median {statistics.median(read):.2f} s, max {max(read):.2f} s "
          f"(goal <= 1.5 s)")


if __name__ == "__main__":
    main()
