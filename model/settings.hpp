// What a simulated instrument is made of and how it misbehaves: the
// options of kq2741-sim and the query of a kq2741sim:// URL, by the same
// names and read by the same rules.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/answers.hpp"

namespace kq2741::model {

struct Settings {
    unsigned channels = 4;
    std::vector<std::uint16_t> wavelengths{1310, 1490, 1550};
    std::map<unsigned, std::vector<std::uint16_t>> channel_wavelengths;
    protocol::Version device_version{2, 50, 32};
    unsigned delay_ms = 0;  // each answer this long after its request
    bool split = false;     // each answer in two parts, kSplitPause apart
    bool silent = false;    // requests applied, never answered
    bool corrupt = false;   // every answer's checksum byte inverted
    // Fractions of the answers garbled (checksum inverted) or never sent,
    // drawn at random from a generator seeded with seed (when seeded; else
    // from random_device).
    double corrupt_rate = 0.0;
    double drop_rate = 0.0;
    std::uint64_t seed = 0;
    bool seeded = false;
};

// A setting that cannot be used; `name` is the setting's, as set() takes it,
// so that each front end can say it in its own words ("--delay-ms", "delay_ms").
struct SettingError : std::runtime_error {
    SettingError(std::string name, const std::string& what) : std::runtime_error(what), name(std::move(name)) {}
    std::string name;
};

inline constexpr unsigned kMaxChannels = 255;
inline constexpr unsigned kMaxDelayMs = 600000;

// Sets one setting by name. A flag takes "" or "1" or "true" for on, "0" or
// "false" for off; channel-wavelengths takes CHANNEL=W1,W2,... and adds to
// what is there. Throws SettingError for an unknown name or a bad value.
void set(Settings& settings, std::string_view name, std::string_view value);
// Throws SettingError when a channel's own list names a channel above `channels`.
void check(const Settings& settings);
// Wavelength list of every channel, channel 1 first.
std::vector<std::vector<std::uint16_t>> wavelength_table(const Settings& settings);

}  // namespace kq2741::model
