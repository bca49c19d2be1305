// Per-channel state of the simulated attenuator and the answers it gives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol.hpp"

namespace kq2741sim {

struct Version {
    std::uint8_t module = 2;
    std::uint8_t hardware = 50;
    std::uint8_t software = 32;
};

// Status byte carried by acknowledgements.
enum class Ack : std::uint8_t {
    Ok = 0x00,
    BadParameter = 0x01,   // wrong payload size, index out of range, 14 34 with another value
    UnknownCommand = 0x02,
};

struct ChannelState {
    std::vector<std::uint16_t> wavelengths;
    std::uint8_t wavelength_index = 0;
    std::uint16_t attenuation_steps = 0;
    bool connected = true;
};

struct Outcome {
    std::optional<Bytes> answer;  // empty: the instrument stays quiet
    std::string meaning;          // request and result, for the log
};

class Instrument {
public:
    Instrument(std::vector<std::vector<std::uint16_t>> wavelengths, Version version);

    Outcome handle(const Frame& request);
    void count_checksum_error() { ++checksum_errors_; }
    std::string state_json() const;

private:
    Outcome handle_on(ChannelState& ch, const Frame& request);
    Bytes ack(const Frame& request, Ack status) const;

    std::vector<ChannelState> channels_;
    Version version_;
    std::uint64_t requests_ = 0;
    std::uint64_t checksum_errors_ = 0;
};

}  // namespace kq2741sim
