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

// Status byte of an acknowledgement.
enum class Ack : std::uint8_t {
    Ok = 0x00,
    BadParameter = 0x01,
    UnknownCommand = 0x02,
};

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
