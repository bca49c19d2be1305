"""The instrument's frame, for the tests to build what they send and expect.

    7B channel length code(2) payload checksum 7D

The length byte counts everything after itself and the channel; the checksum
makes the bytes from 7B through itself sum to 0 mod 256.
"""
from __future__ import annotations

START, END = 0x7B, 0x7D


def checksum(head) -> int:
    return (-sum(head)) & 0xFF


def request(*head: int) -> bytes:
    """A frame from its bytes up to the payload: checksum and end added."""
    return bytes([*head, checksum(head), END])


def frame(ch: int, code: bytes, payload: bytes = b"") -> bytes:
    """A frame from its fields; `code` is its two bytes as they travel."""
    return request(START, ch, len(payload) + 5, *code, *payload)


def checksum_ok(data) -> bool:
    return data[-2] == checksum(data[:-2])


def status_answer(ch: int, steps: int, index: int = 1) -> bytes:
    """The instrument's status answer: work mode 0, a wavelength index, attenuation steps."""
    return frame(ch, b"\x14\x36", bytes([0, 0, index]) + steps.to_bytes(2, "little"))
