// Values typed on the command line or in a batch line. Each parser throws a
// usage Failure that names the text it could not use.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/frame.hpp"
#include "protocol/units.hpp"

namespace kq2741::ctl {

namespace protocol = kq2741::protocol;

using protocol::kMaxMdb;
using protocol::kMdbPerStep;

std::uint8_t parse_channel(std::string_view text);
std::uint16_t parse_wavelength(std::string_view text);
// "3.5", "3.5dB" or "3500mdB", read as exact decimal text: the result in mdB
// lies on the instrument's grid of steps, from 0 to the most it sets.
std::uint32_t parse_attenuation(std::string_view what, std::string_view text);
// Decimal seconds, to the millisecond.
std::chrono::milliseconds parse_seconds(std::string_view what, std::string_view text,
                                        bool zero_allowed);
// Hex bytes, in words of one or more byte pairs ("7b 01" or "7b01").
protocol::Bytes parse_hex(std::span<const std::string> words);

// Text the user typed, in quotes, for a message: cut after 40 characters, so
// a runaway argument or batch line is not echoed whole.
std::string quoted(std::string_view text);
// The option getopt_long has just refused as unknown ('?'), as typed: "-x"
// out of "-xy", or the whole "--long=value". Long options must have codes
// above 255 for this to tell them apart.
std::string refused_option(char* const* argv);


}  // namespace kq2741::ctl
