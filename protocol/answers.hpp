// Payloads of the instrument's answers: built by the simulator, read by
// kq2741ctl, laid out here once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/frame.hpp"

namespace kq2741::protocol {

struct Version {
    std::uint8_t module = 0;
    std::uint8_t hardware = 0;
    std::uint8_t software = 0;
};

struct Status {
    std::uint8_t work_mode = 0;
    std::uint8_t wavelength_index = 0;
    std::uint16_t attenuation_steps = 0;  // 0.01 dB each
};

// Where each answer's fields sit in its payload, which starts at kPayloadAt;
// 16-bit values take two bytes, low byte first.
namespace version_field {
inline constexpr std::size_t kModule = 0;
inline constexpr std::size_t kHardware = 1;
inline constexpr std::size_t kSoftware = 2;
inline constexpr std::size_t kSize = 3;
}  // namespace version_field
namespace list_field {
inline constexpr std::size_t kCount = 0;
inline constexpr std::size_t kFirstWavelength = 1;  // then one every two bytes
}  // namespace list_field
namespace status_field {
inline constexpr std::size_t kWorkMode = 0;  // then a byte the instrument always sends as 00
inline constexpr std::size_t kWavelengthIndex = 2;
inline constexpr std::size_t kSteps = 3;
inline constexpr std::size_t kSize = 5;
}  // namespace status_field

// Status byte of an acknowledgement.
enum class Ack : std::uint8_t {
    Ok = 0x00,
    BadParameter = 0x01,
    UnknownCommand = 0x02,
};

// Wavelengths travel as 16-bit values: no channel lists one above this.
inline constexpr std::uint16_t kMaxNm = 0xFFFF;

// The list answer carries its length byte, so at most (255 - 6) / 2 values fit.
inline constexpr std::size_t kMaxWavelengths = (kMaxPayload - 1) / 2;

Bytes version_payload(const Version& v);
// At most kMaxWavelengths values.
Bytes wavelength_list_payload(std::span<const std::uint16_t> nm);
Bytes status_payload(const Status& s);
Bytes ack_payload(Ack status);

// Empty when the payload does not have the answer's shape.
std::optional<Version> decode_version(std::span<const std::uint8_t> payload);
std::optional<std::vector<std::uint16_t>> decode_wavelength_list(std::span<const std::uint8_t> payload);
std::optional<Status> decode_status(std::span<const std::uint8_t> payload);
std::optional<std::uint8_t> decode_ack(std::span<const std::uint8_t> payload);

std::string ack_meaning(std::uint8_t status);

}  // namespace kq2741::protocol
