// Command-line options of kq2741-sim.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "instrument.hpp"

namespace kq2741::sim {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    unsigned channels = 4;
    std::vector<std::uint16_t> wavelengths{1310, 1490, 1550};
    std::map<unsigned, std::vector<std::uint16_t>> channel_wavelengths;
    protocol::Version device_version{2, 50, 32};
    std::string link;
    std::string state_file;
    unsigned delay_ms = 0;
    bool split = false;
    bool silent = false;
    bool corrupt = false;
    // Fractions of answers garbled (checksum inverted) or never sent, drawn
    // from a generator seeded with seed (random_device when not given).
    double corrupt_rate = 0.0;
    double drop_rate = 0.0;
    std::uint64_t seed = 0;
    bool seeded = false;
    bool stop_with_stdin = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// Throws UsageError on anything it cannot use.
Options parse_options(int argc, char** argv);
// Wavelength list of every channel, channel 1 first.
std::vector<std::vector<std::uint16_t>> wavelength_table(const Options& opts);
const char* usage();

}  // namespace kq2741::sim
