"""What kq2741-ioc tells about itself: record fields, PVI, the screens it ships."""
from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from epics import Ioc, ca_client, ca_put, ca_read, on_loopback
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-ioc", "kq2741-sim")

from kq2741ctl.ioc import pvi, pvs, screens  # noqa: E402

CHANNELS = (1, 2, 3, 4)
RENDER = Path(__file__).resolve().parent / "screens" / "render_pydm.py"


@pytest.fixture(scope="module")
def epics():
    with on_loopback(servers=1) as ports:
        yield ports


@pytest.fixture(scope="module")
def ca(epics):
    with ca_client() as context:
        yield context


@pytest.fixture(scope="module")
def served(epics):
    """The default prefix and channels, as the shipped screens name them."""
    with Simulator("--channels", 4) as sim:
        with Ioc("-p", sim.port, "--channels", "1-4", env=epics.server(0)) as ioc:
            yield sim, ioc
            assert ioc.stop() == 0


def field(ca, name):
    from caproto import ChannelType

    return ca.get_pvs(name, timeout=2)[0].read(data_type=ChannelType.STRING, timeout=2).data[0].decode()


ROWS = [(n, pv) for n in (1,) for pv in pvs.CHANNEL] + [(None, pv) for pv in pvs.INSTRUMENT]


@pytest.mark.parametrize("n, pv", ROWS, ids=[pv.suffix for _, pv in ROWS])
def test_every_record_says_what_it_is(ca, served, n, pv):
    name = screens.DEFAULT_PREFIX + ("" if n is None else pvs.CHANNEL_PREFIX.format(n=n)) + pv.suffix
    assert field(ca, name + ".RTYP") == pv.record
    assert field(ca, name + ".DESC") == pv.desc != ""
    if pv.states:
        assert (field(ca, name + ".ZNAM"), field(ca, name + ".ONAM")) == pv.states
    if pv.egu == "dB":  # the display range of every dB record, the drive range of the setting
        assert (field(ca, name + ".LOPR"), field(ca, name + ".HOPR")) == ("0.00", "655.35")
        if pv.writable:
            assert (field(ca, name + ".DRVL"), field(ca, name + ".DRVH")) == ("0.00", "655.35")
    assert field(ca, name + ".ASG") == ("" if pv.writable else "READONLY")  # empty: the group DEFAULT


@pytest.mark.parametrize("action", ["CH2:CLEAR", "CH3:DISCONNECT", "DISPLAY_CLOSE"])
def test_an_action_is_back_at_0_once_done(ca, served, action):
    assert ca_put(ca, f"KQ2741:{action}", 1)
    assert ca_read(ca, f"KQ2741:{action}") == (0, 0, 0)


def test_pvi_is_the_table(served):
    from p4p.client.thread import Context

    context = Context("pva", nt=False)
    try:
        got = {name: context.get(name, timeout=3)["value"].todict() for name in pvi.structure("KQ2741:", CHANNELS)}
    finally:
        context.close()
    assert got == pvi.structure("KQ2741:", CHANNELS)
    assert got["KQ2741:PVI"]["ch"] == {"d": "KQ2741:CH:PVI"}
    assert got["KQ2741:CH:PVI"] == {f"__{n}": {"d": f"KQ2741:CH{n}:PVI"} for n in CHANNELS}
    assert got["KQ2741:CH3:PVI"]["attenuation"] == {"r": "KQ2741:CH3:ATT_RBV", "w": "KQ2741:CH3:ATT"}
    # Every PV the IOC serves is in the structure, once.
    named = [name for group in got.values() for entry in group.values() for name in entry.values()
             if not name.endswith(":PVI")]
    assert sorted(named) == sorted(pvs.names("KQ2741:", CHANNELS))


def names_in(path: Path, prefix: str) -> list[str]:
    """The PV names a screen's widgets use, its macro P replaced."""
    root = ET.parse(path).getroot()
    if path.suffix == ".bob":
        found = [e.text for e in root.iter("pv_name") if e.text != "$(pv_name)"]
        return [name.replace("$(P)", prefix) for name in found]
    found = [e.find("string").text for e in root.iter("property") if e.get("name") == "channel"]
    return [re.sub(r"^ca://", "", name).replace("${P}", prefix) for name in found]


@pytest.mark.parametrize("file, make", [(screens.BOB, screens.bob), (screens.UI, screens.ui)])
def test_shipped_screens_are_made_from_the_table(file, make):
    shipped = screens.SHIPPED / file
    assert shipped.read_text(encoding="utf-8") == make(screens.DEFAULT_PREFIX, CHANNELS, macro=True)
    assert sorted(names_in(shipped, "KQ2741:")) == sorted(pvs.names("KQ2741:", CHANNELS))


@pytest.mark.parametrize("file", [screens.BOB, screens.UI])
def test_every_pv_a_shipped_screen_names_is_served(ca, served, file):
    unserved = []
    for name in names_in(screens.SHIPPED / file, screens.DEFAULT_PREFIX):
        try:
            ca_read(ca, name)
        except Exception as error:
            unserved.append((name, type(error).__name__))
    assert unserved == []


def test_screens_option_writes_them_for_a_prefix_and_channels(tmp_path):
    ran = subprocess.run([sys.executable, "-m", "kq2741ctl.ioc", "--screens", str(tmp_path / "op"), "--prefix", "LAB:",
                          "--channels", "1,3"], capture_output=True, text=True, timeout=30)
    assert (ran.returncode, ran.stderr) == (0, "")
    written = [Path(line) for line in ran.stdout.splitlines()]
    assert sorted(p.name for p in written) == [screens.BOB, screens.UI]
    for path in written:
        assert sorted(names_in(path, "LAB:")) == sorted(pvs.names("LAB:", (1, 3)))
    assert "<P>LAB:</P>" in (tmp_path / "op" / screens.BOB).read_text()


def test_the_pydm_screen_renders_with_every_channel_connected(epics, served, tmp_path):
    picture = tmp_path / "pydm.png"
    ran = subprocess.run([sys.executable, str(RENDER), str(screens.SHIPPED / screens.UI),
                          json.dumps({"P": screens.DEFAULT_PREFIX}), str(picture), "3"],
                         env={**os.environ, "QT_QPA_PLATFORM": "offscreen"}, capture_output=True, text=True,
                         timeout=60)
    assert ran.returncode == 0, ran.stderr[-2000:]
    report = json.loads(ran.stdout.splitlines()[-1])
    assert report["channels"] == sorted("ca://" + name for name in pvs.names("KQ2741:", CHANNELS))
    assert report["connected"] == report["channels"]
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
