"""kq2741-ioc on the simulator, measured from Channel Access (caproto) and PV Access (p4p) clients.

1. CH1:ATT put with completion, one client: median and p99 (goal <= 0.5 ms, <= 2 ms).
2. 8 client processes, one per channel, each putting with completion and
   reading its ATT_RBV back: completed puts per second in total (goal >= 1000)
   and read-backs that were not the client's own value (goal 0).
3. 20 monitor clients on CH1:ATT_RBV while 100 puts go in: updates each
   received (goal: all 100).
4. Start of `kq2741-ioc -p PORT` to the first successful caget (goal <= 1.5 s).
5. An instrument that answers 100 ms late (kq2741-sim --delay-ms 100) and 8
   writers on it (4 over CA, 4 over PVA): another client's get of
   CONNECTED_RBV over CA and over PVA, median and p99 (goal <= 2 ms, <= 10 ms).
6. A noisy line (kq2741-sim --corrupt-rate 0.01 --drop-rate 0.01) and 8
   writers for 60 s: CONNECTED_RBV's updates (goal: never 0) and the puts
   that completed with the value set and no alarm (goal >= 99%).
7. kq2741ctl.ophyd.KQ2741Epics connecting through PVI (goal <= 0.5 s), a
   100-point bluesky scan of CH1:ATT through it with no live callbacks
   (goal <= 2 s), and the shipped PyDM screen opened offscreen until every
   widget is connected (goal <= 3 s).

Everything runs on 127.0.0.1 with ports of its own (tests/epics.py); each
client is its own context, so its own TCP circuit, as separate programs
would be (the writers are separate processes, the monitors of 3 threads of
this one). 1 to 3 run on `kq2741-ioc --sim`; on a 2-core machine the clients
compete with the IOC and the simulator for the processors, so the figures
vary with the machine's load.

    python bench/ioc_bench.py [--quick] [--seconds S]

--quick takes fewer puts and runs; --seconds sets how long 5 and 6 last
(default 10 and 60: the goal of 6 is for 60 s).
"""
from __future__ import annotations

import argparse
import multiprocessing
import os
import statistics
import sys
import tempfile
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


class _Client:
    """One writer's connection: put with completion, then read the read-back."""

    def __init__(self, protocol: str, prefix: str, n: int):
        self.att, self.rbv = f"{prefix}CH{n}:ATT", f"{prefix}CH{n}:ATT_RBV"
        if protocol == "ca":
            from caproto.threading.client import Context

            self.ctx = Context()
            self.att_pv, self.rbv_pv = self.ctx.get_pvs(self.att, self.rbv, timeout=5)
            self.rbv_pv.read(timeout=5)
        else:
            from p4p.client.thread import Context as PvaContext

            self.ctx = PvaContext("pva")
            self.ctx.get(self.rbv, timeout=5)
        self.protocol = protocol

    def put_and_read(self, value: float) -> tuple[bool, float, int]:
        """(the put completed without error, the read-back, its severity)"""
        if self.protocol == "ca":
            done = self.att_pv.write([value], wait=True, timeout=10).status.success == 1
            reading = self.rbv_pv.read(data_type="time", timeout=5)
            return done, float(reading.data[0]), int(reading.metadata.severity)
        try:
            self.ctx.put(self.att, value, wait=True, timeout=10)
            done = True
        except Exception:
            done = False
        reading = self.ctx.get(self.rbv, timeout=5)
        return done, float(reading), int(reading.severity)


def _writer(protocol: str, prefix: str, n: int, start: float, end: float, results) -> None:
    """One client program: puts with completion, each followed by a read of
    its own read-back. Reports (puts completed, read-backs not its own value,
    puts that completed with the value set and no alarm)."""
    client = _Client(protocol, prefix, n)
    while time.time() < start:
        time.sleep(0.001)
    done = wrong = good = 0
    for i in range(10_000_000):
        value = round(n * 10 + (i % 100) * 0.01, 2)  # never another client's value
        try:
            completed, got, severity = client.put_and_read(value)
        except Exception:
            completed, got, severity = False, float("nan"), 3
        if time.time() > end:
            break
        done += completed
        wrong += completed and abs(got - value) > 0.001
        good += completed and abs(got - value) <= 0.001 and severity == 0
    results.put((done, wrong, good, i))
    results.close()
    results.join_thread()
    os._exit(0)  # without the clients' goodbyes


def writers(protocols: list[str], prefix: str, seconds: float) -> tuple[int, int, int, int]:
    """(puts completed, read-backs not the writer's own, completed with the
    value set and no alarm, puts tried) within the seconds measured; writer
    k on channel k + 1, each a process of its own, as separate programs are."""
    spawn = multiprocessing.get_context("spawn")
    results = spawn.Queue()
    start = time.time() + 6  # every writer started and connected by then
    procs = [spawn.Process(target=_writer, args=(protocol, prefix, k + 1, start, start + seconds, results))
             for k, protocol in enumerate(protocols)]
    for p in procs:
        p.start()
    try:
        counts = [results.get(timeout=seconds + 60) for _ in procs]
    finally:
        for p in procs:
            p.join(5)
            if p.is_alive():
                p.kill()
    return tuple(sum(c[i] for c in counts) for i in range(4))  # type: ignore[return-value]


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


def get_latency(Context, prefix: str, seconds: float) -> tuple[list[float], list[float]]:
    """Another client's gets of CONNECTED_RBV, over CA and over PVA, for the
    seconds given (one of each every 20 ms)."""
    from p4p.client.thread import Context as PvaContext

    ca, pva = Context(), PvaContext("pva")
    name = prefix + "CONNECTED_RBV"
    try:
        connected, = ca.get_pvs(name, timeout=5)
        connected.read(timeout=5)
        pva.get(name, timeout=5)
        over_ca, over_pva = [], []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            start = time.perf_counter()
            connected.read(timeout=5)
            over_ca.append(time.perf_counter() - start)
            start = time.perf_counter()
            pva.get(name, timeout=5)
            over_pva.append(time.perf_counter() - start)
            time.sleep(0.02)
        return over_ca, over_pva
    finally:
        pva.close()
        close_all([ca])


def slow_instrument(Context, epics: Loopback, seconds: float) -> tuple[list[float], list[float], int]:
    with Simulator("--channels", 8, "--delay-ms", 100) as sim, \
         Ioc("-p", sim.port, "--prefix", "D:", "--channels", "1-8", "--timeout", 1, env=epics.server(1)):
        measured: dict = {}
        thread = threading.Thread(target=lambda: measured.update(
            writes=writers(["ca"] * 4 + ["pva"] * 4, "D:", seconds + 2)))
        thread.start()
        time.sleep(7)  # the writers are putting by now
        over_ca, over_pva = get_latency(Context, "D:", seconds)
        thread.join(seconds + 120)
    return over_ca, over_pva, measured["writes"][0]


def noisy_line(Context, epics: Loopback, seconds: float) -> tuple[tuple[int, int, int, int], list[int]]:
    with Simulator("--channels", 8, "--corrupt-rate", 0.01, "--drop-rate", 0.01) as sim, \
         Ioc("-p", sim.port, "--prefix", "N:", "--channels", "1-8", env=epics.server(1)):
        ctx = Context()
        updates: list[int] = []
        try:
            subscription = ctx.get_pvs("N:CONNECTED_RBV", timeout=5)[0].subscribe()
            callback = lambda sub, reading: updates.append(int(reading.data[0]))  # noqa: E731
            subscription.add_callback(callback)
            counts = writers(["ca"] * 4 + ["pva"] * 4, "N:", seconds)
        finally:
            close_all([ctx])
    return counts, updates


def ophyd_and_screens(epics: Loopback, runs: int) -> tuple[list[float], float, float]:
    import json
    import subprocess

    from bluesky import RunEngine
    from bluesky import plans as bp
    from ophyd_async.plan_stubs import ensure_connected

    from kq2741ctl.ioc import screens
    from kq2741ctl.ophyd import KQ2741Epics

    with Ioc("--sim", "--prefix", screens.DEFAULT_PREFIX, "--channels", "1-4", env=epics.server(1)):
        RE = RunEngine({})
        connects = []
        for run in range(runs):
            kq = KQ2741Epics(screens.DEFAULT_PREFIX, name=f"kq{run}")
            start = time.perf_counter()
            RE(ensure_connected(kq))
            connects.append(time.perf_counter() - start)
        start = time.perf_counter()
        RE(bp.scan([kq.ch1], kq.ch1.attenuation, 0, 0.99, 100))
        scan = time.perf_counter() - start
        render = Path(__file__).resolve().parent.parent / "tests" / "screens" / "render_pydm.py"
        with tempfile.TemporaryDirectory(prefix="kq2741-bench-") as folder:
            shown = subprocess.run([sys.executable, str(render), str(screens.SHIPPED / screens.UI),
                                    json.dumps({"P": screens.DEFAULT_PREFIX}), str(Path(folder) / "screen.png"), "10"],
                                   env={**os.environ, "QT_QPA_PLATFORM": "offscreen"}, capture_output=True,
                                   text=True, timeout=120)
        report = json.loads(shown.stdout.splitlines()[-1])
        if report["connected"] != report["channels"]:
            raise RuntimeError(f"the PyDM screen did not connect: {report}")
    return connects, scan, report["seconds"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer puts and runs")
    parser.add_argument("--seconds", type=float, help="how long 5 and 6 last (default 10 and 60)")
    args = parser.parse_args()
    puts, seconds, runs = (300, 1.0, 2) if args.quick else (2000, 3.0, 5)
    slow_seconds = args.seconds or 10.0
    noisy_seconds = args.seconds or 60.0

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
              f"(goal <= 0.5 ms, <= 2 ms)")
        done, wrong, _, _ = writers(["ca"] * 8, "B:", seconds)
        print(f"8 client processes on 8 channels, each a put with completion then a read of its ATT_RBV, "
              f"{seconds:g} s: {done / seconds:.0f} completed puts/s, {wrong} read-backs not the client's own "
              f"(goal >= 1000/s, 0)")
        counts = monitors(Context, 20, 100)
        print(f"20 monitor clients on CH1:ATT_RBV, 100 puts: each received {min(counts)} to {max(counts)} "
              f"of the 100 updates (goal: all)")

    with Simulator() as sim:
        answered, read = start_to_caget(Context, epics, sim.port, runs)
    print(f"start of kq2741-ioc to its first answer to a search ({runs} runs): median "
          f"{statistics.median(answered):.2f} s, max {max(answered):.2f} s")
    print(f"  ... to the first caget's value: median {statistics.median(read):.2f} s, max {max(read):.2f} s "
          f"(goal <= 1.5 s)")

    over_ca, over_pva, slow_puts = slow_instrument(Context, epics, slow_seconds)
    print(f"\nkq2741-sim --delay-ms 100, 8 writers (4 CA, 4 PVA; {slow_puts} puts completed), "
          f"another client's get of CONNECTED_RBV for {slow_seconds:g} s:")
    for name, times in (("CA", over_ca), ("PVA", over_pva)):
        print(f"  over {name} ({len(times)} gets): median {statistics.median(times) * MS:.2f} ms, "
              f"p99 {percentile(times, 99) * MS:.2f} ms (goal <= 2 ms, <= 10 ms)")

    connects, scan, screen = ophyd_and_screens(epics, runs)
    print(f"\nKQ2741Epics through PVI ({runs} connections): median {statistics.median(connects):.3f} s, "
          f"max {max(connects):.3f} s (goal <= 0.5 s); a 100-point scan of CH1:ATT: {scan:.2f} s "
          f"(goal <= 2 s); the PyDM screen connected in {screen:.2f} s offscreen (goal <= 3 s)")

    (done, wrong, good, tried), updates = noisy_line(Context, epics, noisy_seconds)
    print(f"\nkq2741-sim --corrupt-rate 0.01 --drop-rate 0.01, 8 writers (4 CA, 4 PVA) for {noisy_seconds:g} s: "
          f"{tried} puts, {done} completed, {good} ({100 * good / max(tried, 1):.2f}%) with the value set and "
          f"no alarm (goal >= 99%), {wrong} foreign read-backs; CONNECTED_RBV updates {updates} "
          f"(goal: never 0)")


if __name__ == "__main__":
    main()
