"""The instrument operations against a scripted connection: frames sent,
answers decoded, and what each leaves in its shared template."""
from __future__ import annotations

import pytest
import serial

from conftest import request
from kq2741 import KQ2741

H = bytes.fromhex


def framed(*payload: int, length: int | None = None) -> bytes:
    """An answer frame: start, channel 1, length byte, two code bytes, payload, checksum, end."""
    head = [0x7B, 0x01, (length if length is not None else len(payload) + 5), 0x00, 0x00, *payload]
    return request(*head)


VERSION = bytes([0x7B, 0x01, 0x08, 0x00, 0x03, 0x02, 0x32, 0x20, 0x00, 0x7D])
WAVELENGTHS = bytes([0x7B, 1, 2, 3, 4, 0x03, 0x1E, 0x05, 0xD2, 0x05, 0xFF, 0x05, 0xAA, 0x7D])
STATUS = bytes([0x7B, 2, 9, 0x14, 0x36, 0x00, 0x00, 0x01, 0x6E, 0x00, 0x00, 0x7D])


# ---- device version ----------------------------------------------------------


def test_version_decoded_with_keys_in_order(connect):
    kq, ser = connect(VERSION)
    result = kq.read_device_version()
    assert list(result.items()) == [("module_version", 2), ("hard_version", 50), ("soft_version", 32)]
    assert ser.writes == [H("7B 01 05 00 03 7C 7D")]
    assert kq.read_device_version() is None  # no answer the second time
    assert KQ2741._KQ2741__CMD_READ_DEV_VER == list(H("7B 01 05 00 03 7C 7D"))


@pytest.mark.parametrize(
    "answer",
    [
        VERSION[:9] + b"",  # 9 bytes, not ended by 7D
        VERSION[:8] + b"\x7d",  # 9 bytes framed
        VERSION[:9] + b"\x00\x7d",  # 11 bytes framed
        b"\x00" + VERSION[1:],
        VERSION[:9] + b"\x7c",
        None,
    ],
)
def test_version_rejects_anything_but_ten_framed_bytes(answer, connect, capsys):
    kq, _ = connect(answer)
    assert kq.read_device_version() is None
    assert capsys.readouterr().out == ""


def test_version_ignores_the_answers_checksum(connect):
    kq, _ = connect(VERSION[:8] + b"\x55\x7d")
    assert kq.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}


def test_partial_answer_is_not_decoded_and_its_rest_does_not_poison_the_next(connect):
    kq, ser = connect(VERSION[:6], VERSION)
    assert kq.read_device_version() is None
    ser.buffer += VERSION[6:]  # the rest arrives late
    assert kq.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}


# ---- wavelength list ------------------------------------------------------------


@pytest.mark.parametrize(
    "answer, expected",
    [
        (WAVELENGTHS, [1310, 1490, 1535]),
        (bytes([0x7B, 1, 2, 3, 4, 0x00, 0x99, 0x7D]), []),
        (bytes([0x7B, 1, 2, 3, 4, 0x02, 0x1E, 0x05, 0x33, 0x7D]), [1310, 0x7D33]),  # N overstated
        (bytes([0x7B, 1, 2, 3, 4, 0x02, 0x1E, 0x05, 0x1E, 0x05, 0x00, 0x7D]), [1310, 1310]),
        (WAVELENGTHS[:-2] + b"\x00\x7d", [1310, 1490, 1535]),  # wrong checksum
    ],
)
def test_wavelength_list_decoding(answer, expected, connect):
    kq, _ = connect(answer)
    assert kq.read_optical_length() == expected


@pytest.mark.parametrize("answer", [None, b"\x00" + WAVELENGTHS[1:], WAVELENGTHS[:-1] + b"\x00"])
def test_wavelength_list_unframed_is_none(answer, connect):
    kq, _ = connect(answer)
    assert kq.read_optical_length(2) is None


@pytest.mark.parametrize(
    "answer",
    [bytes([0x7B, 1, 2, 3, 4, 0x05, 0, 0, 0, 0x7D]), bytes([0x7B, 1, 2, 0x7D]), b"\x7b\x7d"],
)
def test_wavelength_list_too_short_for_its_count_raises_index_error(answer, connect):
    kq, _ = connect(answer)
    with pytest.raises(IndexError):
        kq.read_optical_length()


@pytest.mark.parametrize("ch, sent", [(1, "7B 01 05 07 2E 4A 7D"), (2, "7B 02 05 07 2E 49 7D")])
def test_wavelength_list_request_carries_the_channel(ch, sent, connect):
    kq, ser = connect(WAVELENGTHS)
    kq.read_optical_length(ch)
    assert ser.writes == [H(sent)]
    assert KQ2741._KQ2741__CMD_READ_OPTICAL_LEN == list(H(sent))


# ---- wavelength selection ----------------------------------------------------------

LIST_1310_1490_1535 = WAVELENGTHS
ACK = b"\x7b\x7d"


@pytest.mark.parametrize(
    "length, ch, list_request, selection",
    [
        (1490, 1, "7B 01 05 07 2E 4A 7D", "7B 01 06 14 3A 01 2F 7D"),
        (1310, 2, "7B 02 05 07 2E 49 7D", "7B 02 06 14 3A 00 2F 7D"),
        (1535, 1, "7B 01 05 07 2E 4A 7D", "7B 01 06 14 3A 02 2E 7D"),
    ],
)
def test_selection_frames(length, ch, list_request, selection, connect):
    kq, ser = connect(LIST_1310_1490_1535, ACK)
    assert kq.set_optical_length(length, ch) is True
    assert ser.writes == [H(list_request), H(selection)]
    assert KQ2741._KQ2741__CMD_SET_OPTICAL_LEN == list(H(selection))


def test_selection_takes_the_index_from_the_channels_own_list(connect):
    channel_3 = bytes([0x7B, 3, 2, 3, 4, 0x02, 0x0E, 0x06, 0x1E, 0x05, 0x00, 0x7D])  # 1550, 1310
    kq, ser = connect(channel_3, ACK)
    assert kq.set_optical_length(1310, 3) is True
    assert ser.writes == [H("7B 03 05 07 2E 48 7D"), H("7B 03 06 14 3A 01 2D 7D")]


def test_selection_uses_the_first_occurrence(connect):
    twice = bytes([0x7B, 1, 2, 3, 4, 0x03, 0x1E, 0x05, 0xD2, 0x05, 0xD2, 0x05, 0, 0x7D])
    kq, ser = connect(twice, ACK)
    kq.set_optical_length(1490)
    assert ser.writes[1][5] == 1


def test_unsupported_wavelength_is_refused_before_anything_is_selected(connect):
    kq, ser = connect(bytes([0x7B, 1, 2, 3, 4, 0x02, 0x1E, 0x05, 0xD2, 0x05, 0, 0x7D]))
    with pytest.raises(ValueError) as info:
        kq.set_optical_length(1535)
    assert str(info.value) == "the length: 1535 no supported yet!"
    assert len(ser.writes) == 1
    kq2, _ = connect(LIST_1310_1490_1535)
    with pytest.raises(ValueError, match=r"^the length: -7 no supported yet!$"):
        kq2.set_optical_length(-7)


def test_a_wavelength_that_cannot_become_text_raises_the_interpreters_own_error(connect):
    kq, ser = connect(LIST_1310_1490_1535)
    with pytest.raises(ValueError, match="Exceeds the limit .* for integer string conversion"):
        kq.set_optical_length(10**5000)
    assert len(ser.writes) == 1


@pytest.mark.parametrize("list_answer", [None, bytes([0x7B, 1, 2, 3, 4, 0x00, 0, 0x7D])])
def test_missing_or_empty_list_raises_runtime_error(list_answer, connect):
    kq, ser = connect(list_answer)
    with pytest.raises(RuntimeError) as info:
        kq.set_optical_length(1310, 2)
    assert str(info.value) == "device read failed! Please check your connection!"
    assert len(ser.writes) == 1
    assert KQ2741._KQ2741__CMD_SET_OPTICAL_LEN == list(H("7B 01 06 14 3A 01 2F 7D"))


@pytest.mark.parametrize("answer, result", [(ACK, True), (None, False), (b"\x7b\x00", False), (b"\x00\x7d", False)])
def test_selection_result(answer, result, connect):
    kq, _ = connect(LIST_1310_1490_1535, answer)
    assert kq.set_optical_length(1310) is result


def test_selection_goes_through_the_objects_list_query(connect):
    kq, ser = connect(ACK)
    kq.read_optical_length = lambda ch=1: [1550, 1625]
    assert kq.set_optical_length(1625, 4) is True
    assert ser.writes == [request(0x7B, 4, 6, 0x14, 0x3A, 1)]


# ---- channel status --------------------------------------------------------------


def test_status_decoded_with_keys_in_order(connect):
    kq, ser = connect(STATUS)
    result = kq.read_current_status(ch=2)
    assert list(result.items()) == [("dev_work_mode", 0), ("optical_length_index", 1), ("attenuation", 1100)]
    assert ser.writes == [H("7B 02 05 14 36 34 7D")]
    assert KQ2741._KQ2741__CMD_READ_CURRENT_STATUS == list(H("7B 02 05 14 36 34 7D"))


@pytest.mark.parametrize(
    "low, high, mdb", [(0xF4, 0x01, 5000), (0xFF, 0xFF, 655350), (0x00, 0x00, 0), (0x01, 0x00, 10)]
)
def test_status_attenuation_in_mdb(low, high, mdb, connect):
    kq, ser = connect(bytes([0x7B, 1, 9, 0x14, 0x36, 0, 0, 2, low, high, 0, 0x7D]))
    assert kq.read_current_status()["attenuation"] == mdb
    assert ser.writes == [H("7B 01 05 14 36 35 7D")]


def test_status_of_exactly_ten_bytes_uses_the_frame_end_as_high_byte(connect):
    kq, _ = connect(bytes([0x7B, 1, 8, 0x14, 0x36, 0, 0, 2, 0x10, 0x7D]))
    assert kq.read_current_status()["attenuation"] == (0x7D * 256 + 0x10) * 10


@pytest.mark.parametrize("answer", [STATUS[:8] + b"\x7d", b"\x7b\x00\x7d", b"\x7b\x7d"])
def test_status_too_short_raises_index_error(answer, connect):
    kq, _ = connect(answer)
    with pytest.raises(IndexError):
        kq.read_current_status()


@pytest.mark.parametrize("answer", [None, STATUS[:-1] + b"\x00", b"\x00" + STATUS[1:]])
def test_status_unframed_is_none(answer, connect, capsys):
    kq, _ = connect(answer)
    assert kq.read_current_status() is None
    assert capsys.readouterr().out == ""


# ---- attenuation set / clear, disconnect, full-screen close ---------------------------


@pytest.mark.parametrize(
    "args, sent",
    [
        ((1100, 1), "7B 01 07 14 3C 6E 00 BF 7D"),
        ((1100, 2), "7B 02 07 14 3C 6E 00 BE 7D"),
        ((0,), "7B 01 07 14 3C 00 00 2D 7D"),
        ((5000,), "7B 01 07 14 3C F4 01 38 7D"),
        ((1109, 1), "7B 01 07 14 3C 6E 00 BF 7D"),
        ((5,), "7B 01 07 14 3C 00 00 2D 7D"),
        ((-5,), "7B 01 07 14 3C 00 00 2D 7D"),
        ((655350,), "7B 01 07 14 3C FF FF 2F 7D"),
    ],
)
def test_set_attenuation_frames(args, sent, connect):
    kq, ser = connect(ACK)
    assert kq.set_attenuation(*args) is True
    assert ser.writes == [H(sent)]
    assert KQ2741._KQ2741__CMD_SET_ATTENUATION == list(H(sent))


@pytest.mark.parametrize("mdb, high", [(655360, 256), (-10, -1)])
def test_attenuation_beyond_16_bits_is_refused_by_the_serial_layer(mdb, high, connect):
    kq, ser = connect()
    with pytest.raises(ValueError):
        kq.set_attenuation(mdb)
    assert ser.writes == []
    assert KQ2741._KQ2741__CMD_SET_ATTENUATION[6] == high


def test_huge_attenuation_follows_python_division(connect):
    kq, _ = connect()
    with pytest.raises(OverflowError):
        kq.set_attenuation(10**400)


@pytest.mark.parametrize(
    "call, sent",
    [
        (lambda kq: kq.clear_attenuation(), "7B 01 07 14 34 00 00 35 7D"),
        (lambda kq: kq.clear_attenuation(2), "7B 02 07 14 34 00 00 34 7D"),
        (lambda kq: kq.clear_attenuation(3), "7B 03 07 14 34 00 00 33 7D"),
        (lambda kq: kq.dis_connection(), "7B 01 07 14 34 FF FF 37 7D"),
        (lambda kq: kq.dis_connection(2), "7B 02 07 14 34 FF FF 36 7D"),
        (lambda kq: kq.dis_connection(0), "7B 00 07 14 34 FF FF 38 7D"),
        (lambda kq: kq.close_full_screen(), "7B 01 05 00 05 7A 7D"),
    ],
)
def test_channel_command_frames(call, sent, connect):
    kq, ser = connect(ACK)
    assert call(kq) is True
    assert ser.writes == [H(sent)]


def test_clear_and_disconnect_keep_to_their_own_templates(connect):
    kq, _ = connect(ACK, ACK, ACK)
    kq.clear_attenuation(2)
    assert KQ2741._KQ2741__CMD_CLEAR_ATTENUATION == list(H("7B 02 07 14 34 00 00 34 7D"))
    assert KQ2741._KQ2741__CMD_DIS_CONNECT == list(H("7B 01 07 14 34 FF FF 37 7D"))
    kq.dis_connection(3)
    assert KQ2741._KQ2741__CMD_CLEAR_ATTENUATION == list(H("7B 02 07 14 34 00 00 34 7D"))
    kq.clear_attenuation(1)
    assert KQ2741._KQ2741__CMD_CLEAR_ATTENUATION == list(H("7B 01 07 14 34 00 00 35 7D"))


def test_full_screen_close_is_sent_as_stored_after_other_commands(connect):
    kq, ser = connect(ACK, ACK, ACK)
    kq.clear_attenuation(4)
    kq.set_attenuation(300, 3)
    kq.close_full_screen()
    assert ser.writes[-1] == H("7B 01 05 00 05 7A 7D")


OPERATIONS = [
    lambda kq: kq.set_attenuation(1100, 1),
    lambda kq: kq.clear_attenuation(1),
    lambda kq: kq.dis_connection(1),
    lambda kq: kq.close_full_screen(),
]


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize(
    "answer, result",
    [
        (ACK, True),
        (b"\x7b\x01\x07\x14\x34\x00\x00\x00\x7d", True),  # wrong checksum
        (b"\x7b", False),
        (b"\x7b\x00", False),
        (b"\x00\x7d", False),
        (None, False),
    ],
)
def test_success_is_an_answer_framed_by_7b_and_7d(operation, answer, result, connect, capsys):
    kq, _ = connect(answer)
    assert operation(kq) is result
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("operation", OPERATIONS[:3])
def test_channel_above_255_is_refused_by_write_and_the_next_call_recovers(operation, connect):
    kq, ser = connect(ACK)
    with pytest.raises(ValueError):
        (lambda k: k.clear_attenuation(256))(kq)
    assert ser.writes == []
    assert operation(kq) is True
    assert ser.writes[0][1] == 1


def test_closed_port_raises_the_libraries_error(fake_time):
    kq = KQ2741("/dev/null")
    kq.ser = serial.Serial()  # never opened
    with pytest.raises(serial.SerialException):
        kq.read_device_version()


# ---- answers that are not bytes -------------------------------------------------


def test_answer_of_any_sequence_is_read_by_position(connect):
    kq, ser = connect()
    ser.read = lambda n: [0x7B, 1, 2, 3, 4, 2, 0x1E, 5, 0xD2, 5, 0, 0x7D]
    ser.inWaiting = lambda: 12
    assert kq.read_optical_length() == [1310, 1490]


def test_falsy_read_result_means_no_answer(connect):
    kq, ser = connect()
    ser.inWaiting = lambda: 3
    ser.read = lambda n: b""
    assert kq.read_device_version() is None
    assert kq.close_full_screen() is False
    assert kq.read_optical_length() is None
