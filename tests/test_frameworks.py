"""kq2741ctl.qcodes and kq2741ctl.pymeasure on the simulator, each through
its framework's own machinery: a QCoDeS station snapshot and Measurement, a
PyMeasure Procedure run by a Worker into a CSV file."""
from __future__ import annotations

import importlib.metadata
import math
from decimal import Decimal
import signal
import subprocess
import sys

import pytest

# Wherever kq2741 is installed, its test extra brings both frameworks, and a
# missing one fails here; the debug interpreter of check-refs has the build
# on PYTHONPATH and no frameworks.
try:
    importlib.metadata.distribution("kq2741")
except importlib.metadata.PackageNotFoundError:
    pytest.skip("kq2741 is not installed for this Python, nor its test extra", allow_module_level=True)
import numpy as np  # noqa: E402
import serial  # noqa: E402
from pymeasure.experiment import FloatParameter, Parameter, Procedure, Results, Worker  # noqa: E402
from qcodes.dataset import Measurement, new_experiment  # noqa: E402
from qcodes.dataset.sqlite.database import connect  # noqa: E402
from qcodes.parameters import DelegateParameter  # noqa: E402
from qcodes.station import Station  # noqa: E402

from kq2741ctl import Attenuator, NoAnswer  # noqa: E402
from kq2741ctl import pymeasure as kq_pymeasure  # noqa: E402
from kq2741ctl import qcodes as kq_qcodes  # noqa: E402
from simulator import Simulator  # noqa: E402

pytestmark = pytest.mark.needs("kq2741-sim")
FRAMEWORKS = ["qcodes", "pymeasure"]


def build(framework, port, **options):
    if framework == "qcodes":
        return kq_qcodes.KQ2741("kq", port, **options)
    return kq_pymeasure.KQ2741(port, **options)


def release(kq):
    kq.close() if isinstance(kq, kq_qcodes.KQ2741) else kq.shutdown()


def setting(kq, ch, name):
    """(get, set) of a channel's setting, the framework's own way."""
    if isinstance(kq, kq_qcodes.KQ2741):
        parameter = getattr(getattr(kq, f"ch{ch}"), name)
        return parameter.get, parameter.set
    channel = getattr(kq, f"ch_{ch}")
    return lambda: getattr(channel, name), lambda value: setattr(channel, name, value)


def port_is_free(port):
    with Attenuator(port):  # PortBusy while anything still holds it
        return True


@pytest.fixture
def sim():
    with Simulator("--channels", 2, "--channel-wavelengths", "2=1310,1550", "--device-version", "3.51.7") as s:
        yield s


@pytest.fixture(params=FRAMEWORKS)
def kq(request, sim):
    kq = build(request.param, sim.port, channels=(1, 2), timeout=0.2)
    yield kq
    release(kq)


@pytest.fixture
def qc(sim):
    qc = build("qcodes", sim.port, channels=(1, 2))
    yield qc
    qc.close()


@pytest.mark.parametrize("module, imported", [
    ("kq2741ctl", []), ("kq2741ctl.qcodes", ["qcodes"]), ("kq2741ctl.pymeasure", ["pymeasure"])])
def test_each_module_imports_only_its_own_framework(module, imported):
    code = f"import sys, {module}; print(sorted({{'qcodes', 'pymeasure'}} & set(sys.modules)))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == str(imported)


def test_qcodes_station_snapshot_reads_every_channel(sim, qc, monkeypatch):
    monkeypatch.setattr(Station, "default", None)
    qc.ch2.wavelength(1550)
    qc.ch2.attenuation(np.float64(0.1) * 29)  # 2.9000000000000004: a step, by rounding only
    assert sim.state()["channels"][1]["attenuation_steps"] == 290
    snap = Station(qc).snapshot(update=True)["instruments"]["kq"]
    for ch, nm, db, wavelengths in ((1, 1310, 0, (1310, 1490, 1550)), (2, 1550, 2.9, (1310, 1550))):
        params = snap["submodules"][f"ch{ch}"]["parameters"]
        assert {name: (p["unit"], p["value"]) for name, p in params.items()} == {
            "attenuation": ("dB", db), "wavelength": ("nm", nm), "wavelengths": ("nm", wavelengths)}
    assert qc.get_idn() == {"vendor": None, "model": "KQ2741", "serial": None, "firmware": "3.51.7"}
    # QCoDeS refuses a taken name only after __init__: by then the port was open.
    with Simulator() as other:
        with pytest.raises(KeyError, match="kq"):
            build("qcodes", other.port)
        assert port_is_free(other.port)


def test_qcodes_measurement_records_read_backs(sim, qc, tmp_path):
    conn = connect(tmp_path / "runs.db")
    readback = DelegateParameter("readback", source=qc.ch1.attenuation)
    meas = Measurement(exp=new_experiment("sweep", sample_name="simulator", conn=conn))
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
    assert sim.state()["channels"][0]["attenuation_steps"] == 59


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
    path = str(tmp_path / "steps.csv")
    procedure = Steps(port=sim.port, start=1, stop=1.2, step=0.05)
    worker = Worker(Results(procedure, path))
    worker.start()
    worker.join(timeout=20)
    assert procedure.status == Procedure.FINISHED
    assert list(Results.load(path, procedure_class=Steps).data["Read back (dB)"]) == [1, 1.05, 1.1, 1.15, 1.2]
    assert sim.state()["channels"][0]["attenuation_steps"] == 120
    assert port_is_free(sim.port)


@pytest.mark.parametrize("name, value", [("attenuation", db) for db in (
    -0.01, 655.36, 0.295, math.nan, "1", Decimal("NaN"), np.uint16(700), np.float32(0.295))]
    + [("wavelength", 1490)])  # not on channel 2's list of 1310 and 1550
def test_refused_values_send_nothing(sim, kq, name, value):
    before = sim.state()
    with pytest.raises((ValueError, TypeError)):
        setting(kq, 2, name)[1](value)
    assert sim.state() == before  # its request count too


@pytest.mark.parametrize("value, steps", [
    (np.float32(0.29), 29), (np.uint8(3), 300), (np.int64(2), 200), (29 * 0.01, 29), (Decimal("1.25"), 125),
])
def test_numbers_of_every_kind_set_exactly_what_they_are(sim, kq, value, steps):
    setting(kq, 2, "attenuation")[1](value)
    assert sim.state()["channels"][1]["attenuation_steps"] == steps


def test_a_silent_instrument_raises_and_release_frees_the_port(sim, kq):
    get, put = setting(kq, 1, "attenuation")
    put(2.5)
    assert get() == 2.5
    sim.signal(signal.SIGSTOP)
    try:
        with pytest.raises(NoAnswer):
            get()
    finally:
        sim.signal(signal.SIGCONT)
    release(kq)
    assert port_is_free(sim.port)


@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_a_silent_instrument_fails_construction_and_frees_the_port(framework):
    with Simulator("--silent") as mute:
        with pytest.raises(NoAnswer):
            build(framework, mute.port, timeout=0.1)
        assert port_is_free(mute.port)


@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_a_replugged_port_is_used_again_without_a_new_instrument(framework, tmp_path):
    link = str(tmp_path / "kq2741")
    first = Simulator("--link", link, "--channels", 2).start()
    kq = build(framework, link, channels=(1, 2), timeout=0.2)
    try:
        get, put = setting(kq, 1, "attenuation")
        put(1.25)
        first.kill()
        with pytest.raises(Exception, match="read failed|could not open port"):  # QCoDeS wraps it
            get()
        with Simulator("--link", link, "--channels", 2):
            put(2.5)
            assert get() == 2.5
    finally:
        release(kq)
        first.close()


@pytest.mark.parametrize("framework", FRAMEWORKS)
def test_each_framework_runs_on_the_url_simulator(framework):
    # kq2741sim://, where no kq2741-sim runs (Windows, macOS); named, so the
    # instrument outlives the framework's port and shows what it was told.
    url = f"kq2741sim://frameworks-{framework}?channels=2&channel_wavelengths=2=1310,1550"
    kq = build(framework, url, channels=(1, 2))
    try:
        get, put = setting(kq, 2, "wavelength")
        put(1550)
        assert get() == 1550
        get, put = setting(kq, 1, "attenuation")
        put(np.float64(0.1) * 29)
        assert get() == 2.9
        with pytest.raises(ValueError):
            setting(kq, 2, "wavelength")[1](1490)
    finally:
        release(kq)
    with serial.serial_for_url(f"kq2741sim://frameworks-{framework}") as port:
        channels = port.state()["channels"]
    assert [(c["wavelength_index"], c["attenuation_steps"]) for c in channels] == [(0, 290), (1, 0)]
