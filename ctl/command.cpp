#include "command.hpp"

#include <algorithm>
#include <array>
#include <getopt.h>

#include "failure.hpp"
#include "values.hpp"

namespace kq2741::ctl {
namespace {

constexpr std::array<CommandEntry, 11> kCommands{{
    {"version", "", "module, hardware and software version", Verb::Version},
    {"wavelengths", "[CH ...]", "wavelengths each channel supports (default 1)", Verb::Wavelengths},
    {"status", "[CH ...]", "work mode, wavelength index, attenuation (default 1)", Verb::Status},
    {"set", "CH ATTENUATION", "set the channel's attenuation", Verb::Set},
    {"clear", "CH", "clear the channel's attenuation to 0 dB", Verb::Clear},
    {"select", "CH NM", "select one of the channel's wavelengths", Verb::Select},
    {"disconnect", "CH", "disconnect the channel", Verb::Disconnect},
    {"display-close", "", "close the full-screen display", Verb::DisplayClose},
    {"sweep", "CH START STOP STEP [--dwell SECONDS]",
     "set START, START+STEP, ... up to STOP (dB), reading each back;\n"
     "--dwell waits that long between points", Verb::Sweep},
    {"batch", "", "lock the port, then run commands from stdin, one a line", Verb::Batch},
    {"raw", "HEX ...", "send a frame (checksum filled in), print the answer", Verb::Raw},
}};

// The command's own options are taken with getopt_long too, so "--dwell=1"
// and "--dwell 1" both work, before or after the numbers.
std::vector<std::string> positionals(std::span<const std::string> words, const CommandEntry& entry,
                                     Sweep& sweep) {
    constexpr int kDwell = 256;
    static const option kSweepOptions[] = {{"dwell", required_argument, nullptr, kDwell}, {}};
    static const option kNoOptions[] = {{}};
    const option* options = entry.verb == Verb::Sweep ? kSweepOptions : kNoOptions;

    std::vector<std::string> copy(words.begin(), words.end());
    std::vector<char*> argv;
    for (auto& w : copy) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(copy.size());

    optind = 0;  // glibc: start afresh, each batch line is a new vector
    opterr = 0;
    // The leading ':' makes a missing value come back as ':' rather than '?'.
    for (int c; (c = getopt_long(argc, argv.data(), ":", options, nullptr)) != -1;) {
        if (c == kDwell) {
            sweep.dwell = parse_seconds("--dwell", optarg, true);
            continue;
        }
        if (c == ':')
            throw usage_error(std::string(entry.name) + ": " + argv[static_cast<std::size_t>(optind - 1)] +
                              " needs a value");
        throw usage_error(std::string(entry.name) + ": unknown option " + refused_option(argv.data()));
    }
    return {argv.begin() + optind, argv.end() - 1};
}

// Bounds the work one command asks for: 1,024 channels at most (channels
// may repeat), and far more words than the longest raw frame needs.
constexpr std::size_t kMaxArguments = 1024;

void expect_count(const CommandEntry& entry, const std::vector<std::string>& args, std::size_t lo,
                  std::size_t hi) {
    if (args.size() >= lo && args.size() <= hi) return;
    if (hi == kMaxArguments && args.size() > hi)
        throw usage_error(std::string(entry.name) + ": at most " + std::to_string(kMaxArguments) +
                          " arguments in one command, got " + std::to_string(args.size()));
    std::string expected = std::string(entry.name) + ": expected '";
    expected += entry.name;
    if (!entry.arguments.empty()) expected.append(" ").append(entry.arguments);
    throw usage_error(expected + "'");
}

}  // namespace

std::span<const CommandEntry> command_table() {
    return kCommands;
}

Command parse_command(std::span<const std::string> words) {
    const auto entry = std::find_if(kCommands.begin(), kCommands.end(),
                                   [&](const CommandEntry& s) { return s.name == words[0]; });
    if (entry == kCommands.end())
        throw usage_error("unknown command " + quoted(words[0]) + " (kq2741ctl --help lists them)");

    Command c;
    c.verb = entry->verb;
    const auto args = positionals(words, *entry, c.sweep);
    switch (c.verb) {
    case Verb::Version:
    case Verb::DisplayClose:
    case Verb::Batch:
        expect_count(*entry, args, 0, 0);
        break;
    case Verb::Wavelengths:
    case Verb::Status:
        expect_count(*entry, args, 0, kMaxArguments);
        for (const auto& a : args) c.channels.push_back(parse_channel(a));
        if (c.channels.empty()) c.channels.push_back(1);
        break;
    case Verb::Clear:
    case Verb::Disconnect:
        expect_count(*entry, args, 1, 1);
        c.channels.push_back(parse_channel(args[0]));
        break;
    case Verb::Set:
        expect_count(*entry, args, 2, 2);
        c.channels.push_back(parse_channel(args[0]));
        c.mdb = parse_attenuation("attenuation", args[1]);
        break;
    case Verb::Select:
        expect_count(*entry, args, 2, 2);
        c.channels.push_back(parse_channel(args[0]));
        c.nm = parse_wavelength(args[1]);
        break;
    case Verb::Sweep:
        expect_count(*entry, args, 4, 4);
        c.channels.push_back(parse_channel(args[0]));
        c.sweep.start_mdb = parse_attenuation("START", args[1]);
        c.sweep.stop_mdb = parse_attenuation("STOP", args[2]);
        c.sweep.step_mdb = parse_attenuation("STEP", args[3]);
        if (c.sweep.step_mdb == 0) throw usage_error("sweep: STEP must be more than 0 dB");
        break;
    case Verb::Raw:
        expect_count(*entry, args, 1, kMaxArguments);
        c.frame = parse_hex(args);
        if (c.frame.size() < protocol::kFrameOverhead ||
            c.frame.size() > protocol::frame_size(0xFF))
            throw usage_error("raw: a frame has 7 to 257 bytes, got " +
                              std::to_string(c.frame.size()));
        break;
    }
    return c;
}

std::vector<std::uint32_t> sweep_points(const Sweep& s) {
    std::vector<std::uint32_t> points;
    const bool down = s.start_mdb > s.stop_mdb;
    const std::uint32_t span = down ? s.start_mdb - s.stop_mdb : s.stop_mdb - s.start_mdb;
    for (std::uint32_t offset = 0; offset <= span; offset += s.step_mdb)
        points.push_back(down ? s.start_mdb - offset : s.start_mdb + offset);
    return points;
}

}  // namespace kq2741::ctl
