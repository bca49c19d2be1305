"""What Python sees: module globals, the class, method objects and the
argument rules every method applies before its body runs."""
from __future__ import annotations

import inspect
import pydoc
import subprocess
import sys

import pytest

import kq2741
from kq2741 import KQ2741

# name, parameters (name, annotation, default), return annotation
TABLE = [
    ("__init__", [("serial_port", str, None)], None),
    ("__check_crc", [("data", list, None)], bool),
    ("__cal_crc", [("data", list, None)], type(None)),
    ("__read", [], None),
    ("read_device_version", [], None),
    ("read_optical_length", [("ch", int, 1)], None),
    ("set_optical_length", [("length", int, None), ("ch", int, 1)], None),
    ("read_current_status", [("ch", int, 1)], None),
    ("close_full_screen", [], bool),
    ("set_attenuation", [("attenuation", int, None), ("ch", int, 1)], bool),
    ("clear_attenuation", [("ch", int, 1)], bool),
    ("dis_connection", [("ch", int, 1)], None),
    ("check_port_available", [], bool),
    ("open", [], bool),
    ("close", [], None),
]


def attribute(name: str) -> str:
    return f"_KQ2741{name}" if name.startswith("__") and not name.endswith("__") else name


def test_module_globals_in_import_order():
    # in a fresh interpreter: other tests swap these globals and put them back
    code = "import kq2741; print([n for n in vars(kq2741) if not n.startswith('__')])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "['platform', 'serial', 'time', 'subprocess', 'KQ2741']\n"
    import serial

    assert kq2741.serial is serial
    assert "KQ2741" in kq2741.__doc__ and "set_attenuation(1100, 1)" in kq2741.__doc__


def test_class_is_plain():
    assert KQ2741.__bases__ == (object,)
    assert KQ2741.__doc__ is None
    assert KQ2741.__module__ == "kq2741" and KQ2741.__qualname__ == "KQ2741"
    kq = KQ2741("COM3")
    assert kq.__dict__ == {"port": "COM3"}


def test_methods_are_bound_in_table_order():
    methods = [n for n, v in vars(KQ2741).items() if callable(v) and not n.startswith("_KQ2741__CMD")]
    assert methods == [attribute(name) for name, _, _ in TABLE]


@pytest.mark.parametrize("name, params, result", TABLE, ids=[t[0] for t in TABLE])
def test_method_metadata_matches_the_table(name, params, result):
    func = vars(KQ2741)[attribute(name)]
    assert func.__name__ == name
    assert func.__qualname__ == f"KQ2741.{name}"
    assert func.__module__ == "kq2741"
    expected_annotations = {p: t for p, t, _ in params}
    if result is not None:
        expected_annotations["return"] = None if result is type(None) else result
    assert func.__annotations__ == expected_annotations
    defaults = tuple(d for _, _, d in params if d is not None)
    assert func.__defaults__ == (defaults or None)
    sig = inspect.signature(func)
    assert list(sig.parameters) == ["self"] + [p for p, _, _ in params]
    for p, t, d in params:
        assert sig.parameters[p].annotation is t
        assert sig.parameters[p].default == (inspect.Parameter.empty if d is None else d)
    kq = KQ2741("COM3")
    bound = getattr(kq, attribute(name))
    assert inspect.ismethod(bound) and bound.__self__ is kq and bound.__func__ is func
    assert list(inspect.signature(bound).parameters) == [p for p, _, _ in params]
    if name != "close":
        assert func.__doc__


def test_help_shows_signatures_and_docs():
    text = pydoc.render_doc(KQ2741, renderer=pydoc.plaintext)
    assert "set_attenuation(self, attenuation: int, ch: int = 1) -> bool" in text
    assert "read_current_status(self, ch: int = 1)" in text
    assert "mdB" in text


def test_import_prints_nothing_and_opens_nothing():
    code = "import kq2741; import sys; sys.stdout.write('|')"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "|" and out.stderr == ""


# ---- argument rules -------------------------------------------------------

kq = KQ2741("COM3")

ARGUMENT_ERRORS = [
    (lambda: KQ2741(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: KQ2741("a", "b"), "__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda: KQ2741(None), "Argument 'serial_port' has incorrect type (expected str, got NoneType)"),
    (lambda: KQ2741(b"/dev/ttyUSB0"), "Argument 'serial_port' has incorrect type (expected str, got bytes)"),
    (lambda: KQ2741(port="x"), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: KQ2741("x", port="y"), "__init__() got an unexpected keyword argument 'port'"),
    (lambda: KQ2741("x", serial_port="y"), "__init__() got multiple values for keyword argument 'serial_port'"),
    (lambda: kq.open(1), "open() takes exactly 1 positional argument (2 given)"),
    (lambda: KQ2741.open(), "open() takes exactly 1 positional argument (0 given)"),
    (lambda: kq.open(self=kq), "open() got multiple values for keyword argument 'self'"),
    (lambda: kq.set_attenuation(), "set_attenuation() takes at least 2 positional arguments (1 given)"),
    (lambda: kq.set_attenuation(1, 2, 3), "set_attenuation() takes at most 3 positional arguments (4 given)"),
    (lambda: kq.set_attenuation(ch=2), "set_attenuation() takes at least 2 positional arguments (1 given)"),
    (lambda: KQ2741.set_attenuation(attenuation=1), "set_attenuation() takes at least 2 positional arguments (0 given)"),
    (lambda: kq.set_attenuation(1100.0, 1), "Argument 'attenuation' has incorrect type (expected int, got float)"),
    (lambda: kq.set_attenuation(1100, True), "Argument 'ch' has incorrect type (expected int, got bool)"),
    (lambda: kq.set_attenuation(None, None), "Argument 'attenuation' has incorrect type (expected int, got NoneType)"),
    (lambda: kq.set_attenuation(1, bad=1, worse=2), "set_attenuation() got an unexpected keyword argument 'bad'"),
    (lambda: kq.set_attenuation(1, attenuation=2, bad=1), "set_attenuation() got multiple values for keyword argument 'attenuation'"),
    (lambda: kq.set_attenuation(1, 2, 3, bad=1), "set_attenuation() takes at most 3 positional arguments (4 given)"),
    (lambda: kq.set_attenuation(bad=1), "set_attenuation() takes at least 2 positional arguments (1 given)"),
    (lambda: kq.set_attenuation(1.0, bad=1), "set_attenuation() got an unexpected keyword argument 'bad'"),
    (lambda: kq.set_optical_length(1310.0, ch=True), "Argument 'length' has incorrect type (expected int, got float)"),
    (lambda: kq.clear_attenuation(True), "Argument 'ch' has incorrect type (expected int, got bool)"),
    (lambda: kq.dis_connection(ch=None), "Argument 'ch' has incorrect type (expected int, got NoneType)"),
    (lambda: kq.read_current_status(1, 2), "read_current_status() takes at most 2 positional arguments (3 given)"),
    (lambda: kq._KQ2741__cal_crc((0x7B, 0x01)), "Argument 'data' has incorrect type (expected list, got tuple)"),
    (lambda: kq._KQ2741__cal_crc(), "__cal_crc() takes exactly 2 positional arguments (1 given)"),
    (lambda: kq._KQ2741__read(x=1), "__read() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS, ids=[m for _, m in ARGUMENT_ERRORS])
def test_argument_errors(call, message, connect):
    _, ser = connect()
    kq.ser = ser
    before = {n: list(v) for n, v in vars(KQ2741).items() if n.startswith("_KQ2741__CMD")}
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert ser.log == []
    assert before == {n: list(v) for n, v in vars(KQ2741).items() if n.startswith("_KQ2741__CMD")}


def test_int_subclass_refused_where_int_is_declared(connect):
    class Channel(int):
        pass

    driver, ser = connect()
    with pytest.raises(TypeError, match=r"expected int, got Channel"):
        driver.read_current_status(Channel(2))
    assert ser.log == []


def test_keywords_and_positions_are_equivalent(connect):
    ack = bytes([0x7B, 0x01, 0x06, 0x14, 0x3C, 0x00, 0x74, 0x7D])
    driver, ser = connect(ack, ack)
    assert driver.set_attenuation(ch=2, attenuation=500) is True
    assert driver.set_attenuation(500, 2) is True
    assert ser.writes[0] == ser.writes[1] == bytes.fromhex("7B 02 07 14 3C 32 00 FA 7D")


def test_unbound_call_through_the_class(connect):
    driver, ser = connect(b"{}")
    assert KQ2741.clear_attenuation(driver, ch=3) is True
    assert ser.writes == [bytes.fromhex("7B 03 07 14 34 00 00 33 7D")]
