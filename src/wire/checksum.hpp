// The frame checksum: the two's complement, in eight bits, of the sum of
// every byte in front of the checksum byte (frame start included, frame end
// not). A frame with a right checksum sums to a multiple of 256 up to and
// including its checksum byte.
#pragma once

#include "core/call.hpp"

namespace kq2741::driver {

// Bodies of __cal_crc (fills in frame[-2]) and __check_crc (tests it).
Ref cal_crc(const Call& call) noexcept;
Ref check_crc(const Call& call) noexcept;

}  // namespace kq2741::driver
