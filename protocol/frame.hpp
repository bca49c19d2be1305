// Wire format of the KQ2741 serial link: 7B ch len code(2) payload cs 7D.
// Standard C++ only: the simulator, kq2741ctl and the extension module, which
// also builds on Windows, share it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kq2741::protocol {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kStart = 0x7B;
inline constexpr std::uint8_t kEnd = 0x7D;

// Byte positions in a frame; the checksum sits just before the end byte.
inline constexpr std::size_t kChannelAt = 1;
inline constexpr std::size_t kLengthAt = 2;
inline constexpr std::size_t kCodeAt = 3;  // two bytes, the high one first
inline constexpr std::size_t kPayloadAt = 5;
// Start, channel, length, code, checksum and end around the payload.
inline constexpr std::size_t kFrameOverhead = 7;
// The length byte counts everything but start and channel.
inline constexpr std::size_t kUncounted = 2;
inline constexpr std::size_t kMaxPayload = 0xFF + kUncounted - kFrameOverhead;

// Command codes, first wire byte in the high half so they read like the bytes on the line.
namespace cmd {
inline constexpr std::uint16_t kVersion = 0x0003;
inline constexpr std::uint16_t kFullScreenClose = 0x0005;
inline constexpr std::uint16_t kWavelengthList = 0x072E;
inline constexpr std::uint16_t kClearOrDisconnect = 0x1434;
inline constexpr std::uint16_t kStatus = 0x1436;
inline constexpr std::uint16_t kSelectWavelength = 0x143A;
inline constexpr std::uint16_t kSetAttenuation = 0x143C;
}  // namespace cmd

struct Frame {
    std::uint8_t channel = 0;
    std::uint16_t code = 0;
    Bytes payload;
};

// Size of the whole frame announced by its length byte.
constexpr std::size_t frame_size(std::uint8_t length_byte) {
    return std::size_t{length_byte} + kUncounted;
}

// Checksum byte that makes start..checksum sum to 0 mod 256.
constexpr std::uint8_t checksum(std::span<const std::uint8_t> start_to_payload) {
    unsigned sum = 0;
    for (auto b : start_to_payload) sum += b;
    return static_cast<std::uint8_t>(-sum & 0xFFu);
}

// The checksum byte a whole frame carries, just before its end byte.
constexpr std::uint8_t checksum_byte(std::span<const std::uint8_t> frame) {
    return frame[frame.size() - 2];
}

// True when start..checksum of a whole frame sum to 0 mod 256.
constexpr bool checksum_ok(std::span<const std::uint8_t> frame) {
    return frame.size() >= 2 && checksum(frame.first(frame.size() - 2)) == checksum_byte(frame);
}

// 16-bit values (attenuation steps, wavelengths) travel low byte first.
constexpr std::array<std::uint8_t, 2> le16(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
}

// Command code of a frame, from its two wire bytes.
constexpr std::uint16_t code_of(std::span<const std::uint8_t> frame) {
    return static_cast<std::uint16_t>(frame[kCodeAt] << 8 | frame[kCodeAt + 1]);
}

constexpr std::uint16_t from_le16(std::uint8_t low, std::uint8_t high) {
    return static_cast<std::uint16_t>(low | high << 8);
}

// out must hold exactly payload.size() + kFrameOverhead bytes.
constexpr void write_frame(std::uint8_t channel, std::uint16_t code,
                           std::span<const std::uint8_t> payload, std::span<std::uint8_t> out) {
    out[0] = kStart;
    out[kChannelAt] = channel;
    out[kLengthAt] = static_cast<std::uint8_t>(out.size() - kUncounted);
    out[kCodeAt] = static_cast<std::uint8_t>(code >> 8);
    out[kCodeAt + 1] = static_cast<std::uint8_t>(code & 0xFF);
    std::copy(payload.begin(), payload.end(), out.begin() + kPayloadAt);
    out[out.size() - 2] = checksum(out.first(out.size() - 2));
    out[out.size() - 1] = kEnd;
}

// A frame of fixed size, usable at compile time for request templates.
template <std::size_t N = 0>
constexpr std::array<std::uint8_t, N + kFrameOverhead> encode(
    std::uint8_t channel, std::uint16_t code, const std::array<std::uint8_t, N>& payload = {}) {
    static_assert(N <= kMaxPayload, "the length byte cannot announce that payload");
    std::array<std::uint8_t, N + kFrameOverhead> out{};
    write_frame(channel, code, payload, out);
    return out;
}

// payload must be at most kMaxPayload bytes.
Bytes encode(const Frame& frame);

enum class HexCase { Upper, Lower };
std::string hex(std::span<const std::uint8_t> bytes, HexCase letters = HexCase::Upper);
std::string command_name(std::uint16_t code);

}  // namespace kq2741::protocol
