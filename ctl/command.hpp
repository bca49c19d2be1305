// The commands kq2741ctl understands: one table for parsing and for --help.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/frame.hpp"

namespace kq2741::ctl {

namespace protocol = kq2741::protocol;

enum class Verb { Version, Wavelengths, Status, Set, Clear, Select, Disconnect, DisplayClose, Sweep, Batch, Raw };

struct Sweep {
    std::uint32_t start_mdb = 0;
    std::uint32_t stop_mdb = 0;
    std::uint32_t step_mdb = 0;
    std::chrono::milliseconds dwell{0};
};

struct Command {
    Verb verb = Verb::Version;
    std::vector<std::uint8_t> channels;  // one for every command on a single channel
    std::uint32_t mdb = 0;               // set
    std::uint16_t nm = 0;                // select
    Sweep sweep;
    protocol::Bytes frame;               // raw, as typed
};

struct CommandEntry {
    std::string_view name;
    std::string_view arguments;
    std::string_view does;
    Verb verb;
};

std::span<const CommandEntry> command_table();

// words[0] is the command name. Throws a usage Failure.
Command parse_command(std::span<const std::string> words);

// Attenuations a sweep sets, in order, START and every STEP up to STOP.
std::vector<std::uint32_t> sweep_points(const Sweep& sweep);

}  // namespace kq2741::ctl
