"""The attenuator inside QCoDeS and PyMeasure, on the simulator's pty.

1. A QCoDeS Measurement sweeping ch1.attenuation over 100 points (0 to 0.99
   dB), each set and then read back into the dataset, in a temporary
   database: from Measurement.run() to the dataset complete (median of runs).
2. The same 100 points through kq2741ctl.pymeasure's channel properties.
3. The same 100 points on kq2741ctl.Attenuator alone, the floor under both.
4. The Python driver's time per exchange (its fixed 0.2 s wait plus the
   line), from a few status reads, scaled to the sweep's 200 exchanges.

The simulator runs without the state file the tests read, as in
bench/attenuator_bench.py: the line as the instrument gives it.

    python bench/frameworks_bench.py [--quick]
"""
from __future__ import annotations

import argparse
import contextlib
import io
import os
import statistics
import tempfile
import time

import numpy as np
from qcodes.dataset import Measurement, new_experiment
from qcodes.dataset.sqlite.database import connect
from qcodes.parameters import DelegateParameter

from attenuator_bench import simulator
from kq2741 import KQ2741 as Driver
from kq2741ctl import Attenuator
from kq2741ctl.pymeasure import KQ2741 as PyMeasureKQ2741
from kq2741ctl.qcodes import KQ2741 as QCoDeSKQ2741

POINTS = np.linspace(0, 0.99, 100)


def timed(sweep, runs: int) -> list[float]:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        sweep()
        times.append(time.perf_counter() - start)
    return times


def qcodes_sweep(port: str, folder: str, runs: int) -> list[float]:
    kq = QCoDeSKQ2741("kq", port, channels=(1,))
    conn = connect(os.path.join(folder, "bench.db"))
    try:
        exp = new_experiment("bench", sample_name="simulator", conn=conn)
        readback = DelegateParameter("readback", source=kq.ch1.attenuation)

        def sweep() -> None:
            meas = Measurement(exp=exp)
            meas.register_parameter(kq.ch1.attenuation)
            meas.register_parameter(readback, setpoints=(kq.ch1.attenuation,))
            with meas.run() as saver:
                for db in POINTS:
                    kq.ch1.attenuation(db)
                    saver.add_result((kq.ch1.attenuation, db), (readback, readback()))
            got = saver.dataset.get_parameter_data()["readback"]["readback"]
            assert np.allclose(got, POINTS, rtol=0, atol=1e-9), got

        return timed(sweep, runs)
    finally:
        conn.close()
        kq.close()


def pymeasure_sweep(port: str, runs: int) -> list[float]:
    with PyMeasureKQ2741(port, channels=(1,)) as kq:
        def sweep() -> None:
            for db in POINTS:
                kq.ch_1.attenuation = db
                assert abs(kq.ch_1.attenuation - db) < 1e-9

        return timed(sweep, runs)


def attenuator_sweep(port: str, runs: int) -> list[float]:
    with Attenuator(port) as att:
        ch = att.channel(1)

        def sweep() -> None:
            for steps in range(100):
                ch.attenuation = steps / 100
                assert ch.attenuation == steps / 100

        return timed(sweep, runs)


def driver_exchange(port: str, count: int) -> float:
    driver = Driver(port)
    if not driver.open():
        raise SystemExit("cannot open the simulator's port")
    try:
        return statistics.median(timed(lambda: driver.read_current_status(1), count))
    finally:
        driver.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer samples")
    args = parser.parse_args()
    runs, driver_reads = (3, 3) if args.quick else (10, 5)

    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} (figures vary with load)")
    with simulator() as port, tempfile.TemporaryDirectory(prefix="kq2741-bench-") as folder:
        with contextlib.redirect_stdout(io.StringIO()):  # QCoDeS announces every run
            qc = qcodes_sweep(port, folder, runs)
        pm = pymeasure_sweep(port, runs)
        bare = attenuator_sweep(port, runs)
        per_exchange = driver_exchange(port, driver_reads)

    ms = 1e3
    print(f"\n100-point sweep of ch1 attenuation with read-back on the simulator ({runs} runs, median, min)")
    print(f"  QCoDeS Measurement into a dataset:  {statistics.median(qc) * ms:6.1f} ms, {min(qc) * ms:6.1f} ms"
          f"  (goal: under 500 ms)")
    print(f"  PyMeasure channel properties:       {statistics.median(pm) * ms:6.1f} ms, {min(pm) * ms:6.1f} ms")
    print(f"  kq2741ctl.Attenuator alone:         {statistics.median(bare) * ms:6.1f} ms, {min(bare) * ms:6.1f} ms")
    print(f"  Python driver, 200 x {per_exchange * ms:.1f} ms per exchange: {200 * per_exchange:.1f} s (scaled)")
    print(f"\nQCoDeS sweep: {200 * per_exchange / statistics.median(qc):.0f} times faster than the driver")


if __name__ == "__main__":
    main()
