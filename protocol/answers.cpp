#include "protocol/answers.hpp"

namespace kq2741::protocol {
namespace {

constexpr std::size_t kVersionSize = 3;
constexpr std::size_t kStatusSize = 5;
// Status: work mode, a byte the instrument always sends as 00, wavelength
// index, attenuation steps.
constexpr std::size_t kIndexAt = 2;
constexpr std::size_t kStepsAt = 3;

}  // namespace

Bytes version_payload(const Version& v) {
    return {v.module, v.hardware, v.software};
}

Bytes wavelength_list_payload(std::span<const std::uint16_t> nm) {
    Bytes out{static_cast<std::uint8_t>(nm.size())};
    for (auto w : nm) {
        auto b = le16(w);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

Bytes status_payload(const Status& s) {
    auto steps = le16(s.attenuation_steps);
    return {s.work_mode, 0x00, s.wavelength_index, steps[0], steps[1]};
}

Bytes ack_payload(Ack status) {
    return {static_cast<std::uint8_t>(status)};
}

std::optional<Version> decode_version(std::span<const std::uint8_t> p) {
    if (p.size() != kVersionSize) return std::nullopt;
    return Version{p[0], p[1], p[2]};
}

std::optional<std::vector<std::uint16_t>> decode_wavelength_list(std::span<const std::uint8_t> p) {
    if (p.empty() || p.size() != 1 + 2 * std::size_t{p[0]}) return std::nullopt;
    std::vector<std::uint16_t> nm;
    nm.reserve(p[0]);
    for (std::size_t i = 1; i < p.size(); i += 2) nm.push_back(from_le16(p[i], p[i + 1]));
    return nm;
}

std::optional<Status> decode_status(std::span<const std::uint8_t> p) {
    if (p.size() != kStatusSize) return std::nullopt;
    return Status{p[0], p[kIndexAt], from_le16(p[kStepsAt], p[kStepsAt + 1])};
}

std::optional<std::uint8_t> decode_ack(std::span<const std::uint8_t> p) {
    if (p.size() != 1) return std::nullopt;
    return p[0];
}

std::string ack_meaning(std::uint8_t status) {
    switch (static_cast<Ack>(status)) {
    case Ack::Ok: return "ok";
    case Ack::BadParameter: return "bad parameter";
    case Ack::UnknownCommand: return "unknown command";
    }
    return "unknown status";
}

}  // namespace kq2741::protocol
