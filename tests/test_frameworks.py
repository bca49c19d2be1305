"""kq2741ctl.qcodes and kq2741ctl.pymeasure on the simulator, each through
its framework's own machinery: a QCoDeS station snapshot and Measurement, a
PyMeasure Procedure run by a Worker into a CSV file."""
from __future__ import annotations

import math
import signal
import subprocess
import sys

import pytest

# Where kq2741ctl is installed, the test extra brings both frameworks along;
# interpreters that only see the build tree (the debug one) lack all three.
pytest.importorskip("kq2741ctl")
import numpy as np  # noqa: E402
from pymeasure.experiment import FloatParameter, Parameter, Procedure, Results, Worker  # noqa: E402
from qcodes.dataset import Measurement, new_experiment  # noqa: E402
from qcodes.dataset.sqlite.database import connect  # noqa: E402
from qcodes.parameters import DelegateParameter  # noqa: E402
from qcodes.station import Station  # noqa: E402

from kq2741ctl import Attenuator, NoAnswer  # noqa: E402
from kq2741ctl import pymeasure as kq_pymeasure  # noqa: E402
from kq2741ctl import qcodes as kq_qcodes  # noqa: E402
from simulator import Simulator, find_binary  # noqa: E402

pytestmark = pytest.mark.skipif(find_binary() is None, reason="kq2741-sim is not built")


@pytest.mark.parametrize("module, not_imported", [
    ("kq2741ctl", ["pymeasure", "qcodes"]),
    ("kq2741ctl.qcodes", ["pymeasure"]),
    ("kq2741ctl.pymeasure", ["qcodes"]),
])
def test_each_module_imports_only_its_own_framework(module, not_imported):
    code = f"import sys, {module}; print(sorted({{'qcodes', 'pymeasure'}} & set(sys.modules)))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == str([m for m in ["pymeasure", "qcodes"] if m not in not_imported])


@pytest.fixture
def sim():
    with Simulator("--channels", 2, "--channel-wavelengths", "2=1310,1550", "--version", "3.51.7") as s:
        yield s


@pytest.fixture
def qc(sim):
    kq = kq_qcodes.KQ2741("kq", sim.port, channels=(1, 2), timeout=0.2)
    yield kq
    kq.close()


@pytest.fixture
def pm(sim):
    with kq_pymeasure.KQ2741(sim.port, channels=(1, 2), timeout=0.2) as kq:
        yield kq


def state(sim, ch):
    return sim.state()["channels"][ch - 1]


def test_qcodes_station_snapshot_reads_every_channel(sim, qc, monkeypatch):
    monkeypatch.setattr(Station, "default", None)
    qc.ch2.wavelength(1550)
    qc.ch2.attenuation(np.float64(0.1) * 29)  # 2.9000000000000004: a step, by rounding only
    assert state(sim, 2)["attenuation_steps"] == 290
    snap = Station(qc).snapshot(update=True)["instruments"]["kq"]
    for ch, nm, db, wavelengths in ((1, 1310, 0, (1310, 1490, 1550)), (2, 1550, 2.9, (1310, 1550))):
        params = snap["submodules"][f"ch{ch}"]["parameters"]
        assert {name: (p["unit"], p["value"]) for name, p in params.items()} == {
            "attenuation": ("dB", db), "wavelength": ("nm", nm), "wavelengths": ("nm", wavelengths)}
    assert qc.get_idn() == {"vendor": None, "model": "KQ2741", "serial": None, "firmware": "3.51.7"}


def test_qcodes_measurement_records_read_backs(sim, qc, tmp_path):
    conn = connect(tmp_path / "runs.db")
    exp = new_experiment("sweep", sample_name="simulator", conn=conn)
    readback = DelegateParameter("readback", source=qc.ch1.attenuation)
    meas = Measurement(exp=exp)
    meas.register_parameter(qc.ch1.attenuation)
    meas.register_parameter(readback, setpoints=(qc.ch1.attenuation,))
    with meas.run() as saver:
        for db in np.linspace(0.5, 0.59, 10):
            qc.ch1.attenuation(db)
            saver.add_result((qc.ch1.attenuation, db), (readback, readback()))
    data = saver.dataset.get_parameter_data()["readback"]
    conn.close()
    assert list(data["readback"]) == [x / 100 for x in range(50, 60)]
    assert np.allclose(data["kq_ch1_attenuation"], data["readback"], rtol=0, atol=1e-12)
    assert state(sim, 1)["attenuation_steps"] == 59


def test_qcodes_name_taken_opens_nothing(qc):
    with Simulator() as other:
        with pytest.raises(KeyError, match="kq"):
            kq_qcodes.KQ2741("kq", other.port)
        with Attenuator(other.port):
            pass


class Steps(Procedure):
    port = Parameter("Port")
    start = FloatParameter("Start", units="dB")
    stop = FloatParameter("Stop", units="dB")
    step = FloatParameter("Step", units="dB")
    DATA_COLUMNS = ["Set (dB)", "Read back (dB)"]

    def startup(self):
        self.kq = kq_pymeasure.KQ2741(self.port, channels=(1,))

    def execute(self):
        for db in np.arange(self.start, self.stop + self.step / 2, self.step):
            self.kq.ch_1.attenuation = db
            self.emit("results", {"Set (dB)": db, "Read back (dB)": self.kq.ch_1.attenuation})

    def shutdown(self):
        self.kq.shutdown()


def test_pymeasure_procedure_through_worker_to_csv(sim, tmp_path):
    path = tmp_path / "steps.csv"
    procedure = Steps(port=sim.port, start=1, stop=1.2, step=0.05)
    worker = Worker(Results(procedure, str(path)))
    worker.start()
    worker.join(timeout=20)
    assert procedure.status == Procedure.FINISHED
    data = Results.load(str(path), procedure_class=Steps).data
    assert list(data["Read back (dB)"]) == [1, 1.05, 1.1, 1.15, 1.2]
    assert state(sim, 1)["attenuation_steps"] == 120
    with Attenuator(sim.port):  # shutdown released the port
        pass


@pytest.mark.parametrize("framework", ["qc", "pm"])
@pytest.mark.parametrize("setting, value, error", [
    ("attenuation", -0.01, ValueError),
    ("attenuation", 655.36, ValueError),
    ("attenuation", 0.295, ValueError),
    ("attenuation", math.nan, ValueError),
    ("attenuation", "1", (TypeError, ValueError)),
    ("wavelength", 1490, ValueError),  # on channel 2's list of 1310 and 1550
])
def test_refused_values_send_nothing(request, sim, framework, setting, value, error):
    kq = request.getfixturevalue(framework)
    channel = kq.ch2 if framework == "qc" else kq.ch_2
    before = sim.state()
    with pytest.raises(error):
        if framework == "qc":
            getattr(channel, setting)(value)
        else:
            setattr(channel, setting, value)
    assert sim.state() == before


@pytest.mark.parametrize("framework", ["qc", "pm"])
def test_a_silent_instrument_raises_and_close_releases_the_port(request, sim, framework):
    kq = request.getfixturevalue(framework)
    channel = kq.ch1 if framework == "qc" else kq.ch_1
    read = channel.attenuation if framework == "qc" else lambda: channel.attenuation
    if framework == "qc":
        channel.attenuation(2.5)
    else:
        channel.attenuation = 2.5
    assert read() == 2.5
    sim.signal(signal.SIGSTOP)
    try:
        with pytest.raises(NoAnswer):
            read()
    finally:
        sim.signal(signal.SIGCONT)
    kq.close() if framework == "qc" else kq.shutdown()
    with Attenuator(sim.port):
        pass


@pytest.mark.parametrize("build", [
    lambda port: kq_qcodes.KQ2741("kq", port, timeout=0.1),
    lambda port: kq_pymeasure.KQ2741(port, timeout=0.1),
], ids=["qc", "pm"])
def test_a_silent_instrument_fails_construction_and_frees_the_port(build):
    with Simulator("--silent") as mute:
        with pytest.raises(NoAnswer):
            build(mute.port)
        with Attenuator(mute.port):
            pass
