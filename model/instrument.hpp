// Per-channel state of the simulated attenuator and the answers it gives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/answers.hpp"
#include "protocol/frame.hpp"

namespace kq2741::model {

struct ChannelState {
    std::vector<std::uint16_t> wavelengths;
    std::uint8_t wavelength_index = 0;
    std::uint16_t attenuation_steps = 0;
    bool connected = true;
};

struct Outcome {
    std::optional<protocol::Bytes> answer;  // empty: the instrument stays quiet
    std::string meaning;                    // request and result, for the log
};

class Instrument {
public:
    Instrument(std::vector<std::vector<std::uint16_t>> wavelengths, protocol::Version version);

    Outcome handle(const protocol::Frame& request);
    void count_checksum_error() { ++checksum_errors_; }
    std::string state_json() const;

private:
    Outcome handle_on(ChannelState& ch, const protocol::Frame& request);
    // Ack::BadParameter: wrong payload size, index out of range, 14 34 with another value.
    protocol::Bytes ack(const protocol::Frame& request, protocol::Ack status) const;

    std::vector<ChannelState> channels_;
    protocol::Version version_;
    std::uint64_t requests_ = 0;
    std::uint64_t checksum_errors_ = 0;
};

}  // namespace kq2741::model
