"""The same exchange and decoding, written as plain Python, for scale only:
the benchmark times it beside the C++ driver on the same connection."""
from __future__ import annotations

import time


class PlainDriver:
    _CMD_READ_DEV_VER = [0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D]
    _CMD_READ_CURRENT_STATUS = [0x7B, 0x01, 0x05, 0x14, 0x36, 0x35, 0x7D]
    _CMD_SET_ATTENUATION = [0x7B, 0x01, 0x07, 0x14, 0x3C, 0xF4, 0x01, 0x38, 0x7D]

    def __init__(self, ser):
        self.ser = ser

    def _cal_crc(self, data):
        data[-2] = (~sum(data[:-2]) + 1) & 0xFF

    def _read(self):
        n = self.ser.inWaiting()
        return self.ser.read(n) if n > 0 else None

    def _exchange(self, frame):
        self._read()  # drop stale input
        self.ser.write(frame)
        time.sleep(0.2)
        return self._read()

    def read_device_version(self):
        buf = self._exchange(self._CMD_READ_DEV_VER)
        buf = list(buf) if buf else None
        if buf and buf[0] == 0x7B and buf[-1] == 0x7D and len(buf) == 10:
            return {"module_version": buf[5], "hard_version": buf[6], "soft_version": buf[7]}
        return None

    def read_current_status(self, ch=1):
        frame = self._CMD_READ_CURRENT_STATUS
        frame[1] = ch
        self._cal_crc(frame)
        buf = self._exchange(frame)
        buf = list(buf) if buf else None
        if buf and buf[0] == 0x7B and buf[-1] == 0x7D:
            return {"dev_work_mode": buf[5], "optical_length_index": buf[7],
                    "attenuation": ((buf[9] << 8) + buf[8]) * 10}
        return None

    def set_attenuation(self, attenuation, ch=1):
        steps = int(attenuation / 10)
        frame = self._CMD_SET_ATTENUATION
        frame[5] = steps & 0xFF
        frame[6] = steps >> 8
        frame[1] = ch
        self._cal_crc(frame)
        buf = self._exchange(frame)
        buf = list(buf) if buf else None
        return bool(buf and buf[0] == 0x7B and buf[-1] == 0x7D)
