"""What the Attenuator makes of the values a caller hands it: every object is
reduced to exact integers (or a binary float) by its base type's number
protocols before any arithmetic, so an odd type never changes what is sent,
and what cannot be read exactly is refused with nothing sent. The same
reading is kq2741ctl.attenuation_steps, which the frameworks and servers use."""
from __future__ import annotations

import subprocess
import sys
import time
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import kq2741ctl
from kq2741ctl import Attenuator, attenuation_steps
from simulator import Simulator

pytestmark = pytest.mark.needs("kq2741-sim")


class LyingInt(int):
    """An int whose operators lie: the value is what counts."""

    def __lt__(self, other):
        return False

    def __mul__(self, other):
        return 42

    def __index__(self):
        return 7


class ShortRatioDecimal(Decimal):
    def as_integer_ratio(self):
        return (29,)

    def as_tuple(self):
        return [1]


class FloatNumerator(Fraction):
    @property
    def numerator(self):
        return 29.0


class ZeroDenominator(Fraction):
    @property
    def denominator(self):
        return 0


def shown(value):
    """A test id: the repr, or the type for a number too long to print."""
    if not isinstance(value, (int, float, Decimal, Fraction, np.generic, bytes)):
        return None
    try:
        return repr(value)[:40]
    except ValueError:
        return f"huge {type(value).__name__}"


@pytest.fixture(scope="module")
def sim():
    with Simulator("--channels", 2) as s:
        yield s


@pytest.fixture(scope="module")
def att(sim):
    with Attenuator(sim.port, timeout=0.5) as a:
        yield a


def sent_steps(sim):
    state = sim.state()
    return state["requests"], state["channels"][0]["attenuation_steps"]


@pytest.mark.parametrize("value, steps", [
    (np.uint8(3), 300), (np.int8(2), 200), (np.int64(655), 65500), (LyingInt(3), 300),
    (np.float32(0.29), 29), (np.float32(655.35), 65535), (np.float64(0.29), 29),
    (29 * 0.01, 29), (sum([0.01] * 7), 7), (ShortRatioDecimal("0.29"), 29), (Decimal("-0"), 0),
    (Decimal("1.2300000"), 123), (Fraction(131, 100), 131),
])
def test_odd_types_set_exactly_what_they_are(sim, att, value, steps):
    att.channel(1).attenuation = value
    assert sent_steps(sim)[1] == steps
    assert attenuation_steps(value) == steps


@pytest.mark.parametrize("value, error, says", [
    (np.uint16(700), ValueError, "above"), (LyingInt(-3), ValueError, "negative"),
    (np.int8(-2), ValueError, "negative"), (np.float32(0.295), ValueError, "between"),
    (FloatNumerator(1, 3), TypeError, "not an integer"), (ZeroDenominator(1, 3), ValueError, "not a number"),
    (10**5000, ValueError, "above"), (-(10**5000), ValueError, "negative"),
    (Fraction(10**5000, 3), ValueError, "above"), (Decimal("1e100000000"), ValueError, "above"),
    (Decimal("1e-100000000"), ValueError, "between"), (Decimal("-1e-100000000"), ValueError, "negative"),
    (Decimal("655.351"), ValueError, "above"), (Decimal("sNaN"), ValueError, "not a number"),
    (np.bool_(True), TypeError, "not bool"), (b"3", TypeError, "real number"),
    (np.float64("nan"), ValueError, "not a number"),
], ids=shown)
def test_odd_values_are_refused_and_nothing_is_sent(sim, att, value, error, says):
    before = sent_steps(sim)
    started = time.monotonic()
    with pytest.raises(error, match=says):
        att.channel(1).attenuation = value
    with pytest.raises(error, match=says):
        attenuation_steps(value)
    assert sent_steps(sim) == before
    assert time.monotonic() - started < 0.5  # no arithmetic on a hundred million digits


@pytest.mark.parametrize("value, steps", [
    (0.294, 29), (0.295, 30), (Decimal("0.005"), 0), (Decimal("0.015"), 2), (Decimal("0.0151"), 2),
    (Fraction(1, 200), 0), (Fraction(3, 200), 2), (655.354, 65535), (np.float32(1.234), 123),
])
def test_nearest_takes_the_nearest_step_and_still_checks_the_range(value, steps):
    assert attenuation_steps(value, nearest=True) == steps
    with pytest.raises(ValueError, match="above"):
        attenuation_steps(655.356, nearest=True)
    with pytest.raises(ValueError, match="negative"):
        attenuation_steps(-0.004, nearest=True)


@pytest.mark.parametrize("flag", [True, np.bool_(True)])
def test_truth_values_are_no_channel_nor_wavelength(att, flag):
    with pytest.raises(TypeError):
        att.channel(flag)
    with pytest.raises(TypeError):
        att.channel(1).wavelength = flag


@pytest.mark.parametrize("kind", [np.int64, np.uint16, LyingInt])
def test_numpy_integers_are_channels_and_wavelengths_too(sim, att, kind):
    ch = att.channel(kind(2))
    assert ch.number == 2
    ch.wavelength = kind(1490)
    assert sim.state()["channels"][1]["wavelength_index"] == 1
    ch.wavelength = kind(1310)
    assert sim.state()["channels"][1]["wavelength_index"] == 0


@pytest.mark.parametrize("timeout, taken", [
    (np.float32(0.5), 0.5), (np.int64(2), 2.0), (Decimal("0.25"), 0.25), (Fraction(1, 4), 0.25), (3600, 3600.0),
])
def test_timeouts_take_what_float_and_index_take(timeout, taken):
    assert Attenuator("/dev/null", timeout=timeout).timeout == taken


@pytest.mark.parametrize("timeout, error", [
    (10**400, ValueError), (Fraction(10**400), ValueError), (0, ValueError), (3600.5, ValueError),
    (float("nan"), ValueError), ("1", TypeError), (True, TypeError), (np.bool_(True), TypeError), (None, TypeError),
], ids=shown)
def test_timeouts_out_of_bounds_are_value_errors(timeout, error):
    with pytest.raises(error, match="timeout"):
        Attenuator("/dev/null", timeout=timeout)


def test_units_and_limits_come_from_the_core():
    assert (kq2741ctl.MAX_DB, kq2741ctl.STEP_DB, kq2741ctl.MAX_STEPS, kq2741ctl.STEPS_PER_DB) == (655.35, 0.01, 65535, 100)
    assert attenuation_steps(kq2741ctl.MAX_DB) == kq2741ctl.MAX_STEPS


CRASHES = {
    "uninitialised": "a = Attenuator.__new__(Attenuator); repr(a)\n"
                     "for f in (lambda: a.port, a.open):\n"
                     "    try: f()\n"
                     "    except ValueError as e: assert 'uninitialised' in str(e)\n"
                     "    else: raise SystemExit('no error')",
    "non-utf8 port": "import os, serial\n"
                     "try: Attenuator(os.fsdecode(b'/tmp/kq\\xff-none')).open()\n"
                     "except serial.SerialException as e: assert e.errno == 2",
}


@pytest.mark.parametrize("script", CRASHES.values(), ids=CRASHES.keys())
def test_pure_python_cannot_crash_the_interpreter(script):
    done = subprocess.run([sys.executable, "-c", "from kq2741ctl import Attenuator\n" + script],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
