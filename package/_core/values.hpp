// Values a caller hands in, checked before anything is sent: each returns
// false with TypeError or ValueError set, saying why. Whatever the object,
// it is first reduced to exact Python integers (or a binary float) by the
// number protocols of its base type, so no method of a subclass and no
// fixed-width arithmetic (NumPy) decides what is sent.
#pragma once

#include <cstdint>

#include "core_state.hpp"

namespace kq2741::package {

// dB as int, float, Decimal, Fraction, NumPy scalar or any other real number
// (not bool), from 0 to the most the instrument sets, to whole steps: exact for
// integers, decimals and ratios; a binary float stands for the step it
// misses only by rounding (see protocol/units.hpp). nearest: the nearest
// step instead of refusing a value between two.
bool attenuation_steps(const State& st, Borrowed value, bool nearest, std::uint16_t& steps);
// An integer (int or anything with __index__, not bool) from 1 to 255.
bool channel_number(Borrowed value, std::uint8_t& number);
// An integer (not bool); any value, the channel's list says which it has
// (-1 for one too large to hold).
bool wavelength_nm(Borrowed value, long& nm);
// A number of seconds (an integer or anything float() takes that is a
// number, not bool nor text), more than 0, at most kMaxTimeoutSeconds.
bool timeout_seconds(Borrowed value, double& seconds);

// The value for a message: its repr, cut short, or its type's name when
// the repr fails (an int too long to print). Null only when the repr
// raised something that is not an Exception (KeyboardInterrupt).
Ref shown(Borrowed value);

}  // namespace kq2741::package
