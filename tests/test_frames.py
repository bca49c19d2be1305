"""Command templates and the frame checksum."""
from __future__ import annotations

import pytest

from conftest import TEMPLATE_NAMES, checksum
from kq2741 import KQ2741

cal_crc = KQ2741._KQ2741__cal_crc
check_crc = KQ2741._KQ2741__check_crc

STORED = {
    "_KQ2741__CMD_READ_DEV_VER": "7B 01 05 00 03 7C 7D",
    "_KQ2741__CMD_READ_OPTICAL_LEN": "7B 01 05 07 2E 4A 7D",
    "_KQ2741__CMD_READ_CURRENT_STATUS": "7B 01 05 14 36 35 7D",
    "_KQ2741__CMD_CLOSE_FULLSCREEN": "7B 01 05 00 05 7A 7D",
    "_KQ2741__CMD_SET_OPTICAL_LEN": "7B 01 06 14 3A 01 2F 7D",
    "_KQ2741__CMD_SET_ATTENUATION": "7B 01 07 14 3C F4 01 38 7D",
    "_KQ2741__CMD_CLEAR_ATTENUATION": "7B 01 07 14 34 00 00 35 7D",
    "_KQ2741__CMD_DIS_CONNECT": "7B 01 07 14 34 FF FF 37 7D",
}


def hexbytes(text: str) -> list[int]:
    return list(bytes.fromhex(text))


def test_templates_bound_in_order_under_private_names():
    names = [n for n in vars(KQ2741) if n.startswith("_KQ2741__CMD_")]
    assert names == TEMPLATE_NAMES
    assert not hasattr(KQ2741, "__CMD_READ_DEV_VER")


@pytest.mark.parametrize("name", TEMPLATE_NAMES)
def test_stored_template_is_a_valid_frame(name):
    kq = KQ2741("/dev/null")
    tmpl = getattr(KQ2741, name)
    assert type(tmpl) is list and tmpl == hexbytes(STORED[name])
    assert tmpl[2] == len(tmpl) - 2
    assert kq._KQ2741__check_crc(tmpl) is True
    kq._KQ2741__cal_crc(tmpl)
    assert tmpl == hexbytes(STORED[name])


@pytest.mark.parametrize(
    "name, patch, expected",
    [
        ("_KQ2741__CMD_READ_CURRENT_STATUS", {1: 2}, "7B 02 05 14 36 34 7D"),
        ("_KQ2741__CMD_CLEAR_ATTENUATION", {1: 2}, "7B 02 07 14 34 00 00 34 7D"),
        ("_KQ2741__CMD_DIS_CONNECT", {1: 2}, "7B 02 07 14 34 FF FF 36 7D"),
        ("_KQ2741__CMD_SET_ATTENUATION", {5: 0x6E, 6: 0x00}, "7B 01 07 14 3C 6E 00 BF 7D"),
        ("_KQ2741__CMD_SET_ATTENUATION", {5: 0x2C, 6: 0x01, 1: 3}, "7B 03 07 14 3C 2C 01 FE 7D"),
    ],
)
def test_cal_crc_on_patched_template_changes_the_class_attribute(name, patch, expected):
    first, second = KQ2741("a"), KQ2741("b")
    tmpl = getattr(first, name)
    for index, value in patch.items():
        tmpl[index] = value
    assert first._KQ2741__cal_crc(tmpl) is None
    assert getattr(second, name) == hexbytes(expected)
    assert getattr(KQ2741, name) is tmpl


@pytest.mark.parametrize(
    "data, after",
    [([5, 9], [0, 9]), ([0x7B, 0x01, 0x99, 0x7D], [0x7B, 0x01, 0x84, 0x7D]), ([1, 2, 3, 0, 0], [1, 2, 3, 0xFA, 0])],
)
def test_cal_crc_fills_the_second_to_last_element(data, after):
    cal_crc(KQ2741("p"), data)
    assert data == after


@pytest.mark.parametrize("data", [[], [0x7B]])
def test_too_short_frames_raise_index_error_and_stay_unchanged(data):
    before = list(data)
    with pytest.raises(IndexError):
        cal_crc(KQ2741("p"), data)
    assert data == before
    with pytest.raises(IndexError):
        check_crc(KQ2741("p"), data)


@pytest.mark.parametrize(
    "data, valid",
    [
        ([0x7B, 0x7D], False),
        ([0, 0x7D], True),
        ([0x7B, 0x01, 0x05, 0x00, 0x03, 0x7D, 0x7D], False),  # checksum off by one
        ([0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x00], True),  # frame end plays no part
    ],
)
def test_check_crc(data, valid):
    before = list(data)
    assert check_crc(KQ2741("p"), data) is valid
    assert data == before


@pytest.mark.parametrize(
    "data",
    [
        [2**70, 3, 0, 0],
        [-5, -(2**65), 7, 0, 0],
        [True, 2, 0, 0],
        [10**30, -(10**30), 255, 1, 9],
    ],
)
def test_checksum_follows_python_integer_arithmetic(data):
    expected = (~sum(data[:-2]) + 1) & 0xFF
    cal_crc(KQ2741("p"), data)
    assert data[-2] == expected == checksum(data[:-2])


@pytest.mark.parametrize(
    "data, error",
    [([1.5, 2, 0, 0], TypeError), (["a", 1, 0, 0], TypeError), ([None, 0, 0], TypeError)],
)
def test_checksum_of_non_integers_raises_what_python_raises(data, error):
    before = list(data)
    with pytest.raises(error):
        cal_crc(KQ2741("p"), data)
    assert data == before


def test_check_crc_compares_element_first_and_returns_its_result():
    class Odd:
        def __eq__(self, other):
            return "compared"

    assert check_crc(KQ2741("p"), [3, Odd(), 0]) == "compared"


def test_element_that_shrinks_the_list_while_summed_cannot_read_out_of_bounds():
    data: list = []

    class Shrinker(int):
        def __radd__(self, other):
            data.clear()
            return 7

    data.extend([Shrinker(1), 1, 0, 0])
    with pytest.raises(IndexError):
        cal_crc(KQ2741("p"), data)
    assert data == []


@pytest.mark.parametrize("not_a_list", [(0x7B, 0x01), bytearray(b"{\x01"), None])
def test_frame_argument_must_be_exactly_a_list(not_a_list):
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected list, got "):
        cal_crc(KQ2741("p"), not_a_list)

    class ListSub(list):
        pass

    with pytest.raises(TypeError, match=r"expected list, got ListSub"):
        check_crc(KQ2741("p"), ListSub([0, 0]))
