// Wire format of the KQ2741 serial link: 7B ch len code(2) payload cs 7D.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kq2741sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kStart = 0x7B;
inline constexpr std::uint8_t kEnd = 0x7D;

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

// Checksum byte that makes start..checksum sum to 0 mod 256.
std::uint8_t checksum(std::span<const std::uint8_t> start_to_payload);
Bytes encode(const Frame& frame);
std::string hex(std::span<const std::uint8_t> bytes);
std::string command_name(std::uint16_t code);

struct Received {
    enum class Kind { Frame, Junk, BadChecksum };
    Kind kind;
    Bytes raw;
    Frame frame;  // meaningful only for Kind::Frame
};

// Splits a byte stream into request frames. Requests are short (payload at
// most two bytes), so a start byte followed by any other length byte cannot
// begin a request and is skipped; that is what lets the reader resynchronise
// on the next start byte after line noise.
class FrameReader {
public:
    std::vector<Received> feed(std::span<const std::uint8_t> data);
    void reset() { buf_.clear(); }
    std::size_t pending() const { return buf_.size(); }

private:
    Bytes buf_;
};

}  // namespace kq2741sim
