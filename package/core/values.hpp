// Values a caller hands in, checked before anything is sent: each returns
// false with TypeError or ValueError set, saying why.
#pragma once

#include <cstdint>

#include "state.hpp"

namespace kqctl {

inline constexpr double kMaxTimeout = 3600;

// dB as int, float, Decimal, Fraction or any other real number (not bool),
// 0 to 655.35 on the 0.01 dB grid, to whole steps. Exact: 0.29 is 29 steps.
bool attenuation_steps(const State& st, Borrowed value, std::uint16_t& steps);
// An int (not bool) from 1 to 255.
bool channel_number(Borrowed value, std::uint8_t& number);
// An int (not bool); any value, the channel's list says which it has (-1
// for one too large to hold).
bool wavelength_nm(Borrowed value, long& nm);
// A number of seconds (int or float, not bool), more than 0, at most an hour.
bool timeout_seconds(Borrowed value, double& seconds);

}  // namespace kqctl
