#include "protocol/answers.hpp"

namespace kq2741::protocol {

Bytes version_payload(const Version& v) {
    Bytes out(version_field::kSize);
    out[version_field::kModule] = v.module;
    out[version_field::kHardware] = v.hardware;
    out[version_field::kSoftware] = v.software;
    return out;
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
    Bytes out(status_field::kSize);
    const auto steps = le16(s.attenuation_steps);
    out[status_field::kWorkMode] = s.work_mode;
    out[status_field::kWavelengthIndex] = s.wavelength_index;
    out[status_field::kSteps] = steps[0];
    out[status_field::kSteps + 1] = steps[1];
    return out;
}

Bytes ack_payload(Ack status) {
    return {static_cast<std::uint8_t>(status)};
}

std::optional<Version> decode_version(std::span<const std::uint8_t> p) {
    if (p.size() != version_field::kSize) return std::nullopt;
    return Version{p[version_field::kModule], p[version_field::kHardware], p[version_field::kSoftware]};
}

std::optional<std::vector<std::uint16_t>> decode_wavelength_list(std::span<const std::uint8_t> p) {
    using namespace list_field;
    if (p.empty() || p.size() != kFirstWavelength + 2 * std::size_t{p[kCount]}) return std::nullopt;
    std::vector<std::uint16_t> nm;
    nm.reserve(p[kCount]);
    for (std::size_t i = kFirstWavelength; i < p.size(); i += 2) nm.push_back(from_le16(p[i], p[i + 1]));
    return nm;
}

std::optional<Status> decode_status(std::span<const std::uint8_t> p) {
    using namespace status_field;
    if (p.size() != kSize) return std::nullopt;
    return Status{p[kWorkMode], p[kWavelengthIndex], from_le16(p[kSteps], p[kSteps + 1])};
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
