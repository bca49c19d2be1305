// The requests the instrument understands, as compile-time frames.
#pragma once

#include <array>
#include <cstdint>

#include "protocol/frame.hpp"

namespace kq2741::protocol {

// Values of the clear/disconnect request; anything else is refused.
inline constexpr std::uint16_t kClearValue = 0x0000;
inline constexpr std::uint16_t kDisconnectValue = 0xFFFF;

// Version and full-screen close concern the whole instrument; they go to
// channel 1 like every other request of the instrument's own software.
inline constexpr std::uint8_t kInstrumentChannel = 1;

constexpr auto version_request() {
    return encode(kInstrumentChannel, cmd::kVersion);
}
constexpr auto full_screen_close_request() {
    return encode(kInstrumentChannel, cmd::kFullScreenClose);
}
constexpr auto wavelength_list_request(std::uint8_t channel) {
    return encode(channel, cmd::kWavelengthList);
}
constexpr auto status_request(std::uint8_t channel) {
    return encode(channel, cmd::kStatus);
}
constexpr auto select_wavelength_request(std::uint8_t channel, std::uint8_t index) {
    return encode(channel, cmd::kSelectWavelength, std::array<std::uint8_t, 1>{index});
}
constexpr auto set_attenuation_request(std::uint8_t channel, std::uint16_t steps) {
    return encode(channel, cmd::kSetAttenuation, le16(steps));
}
constexpr auto clear_request(std::uint8_t channel) {
    return encode(channel, cmd::kClearOrDisconnect, le16(kClearValue));
}
constexpr auto disconnect_request(std::uint8_t channel) {
    return encode(channel, cmd::kClearOrDisconnect, le16(kDisconnectValue));
}

// Requests as they appear on the line with the instrument: a change to the
// encoding that alters one of them does not compile.
static_assert(version_request() ==
              std::array<std::uint8_t, 7>{0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D});
static_assert(status_request(1) ==
              std::array<std::uint8_t, 7>{0x7B, 0x01, 0x05, 0x14, 0x36, 0x35, 0x7D});
static_assert(set_attenuation_request(1, 110) ==
              std::array<std::uint8_t, 9>{0x7B, 0x01, 0x07, 0x14, 0x3C, 0x6E, 0x00, 0xBF, 0x7D});
static_assert(checksum_ok(disconnect_request(255)));

}  // namespace kq2741::protocol
