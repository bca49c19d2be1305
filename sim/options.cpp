#include "options.hpp"

#include <charconv>
#include <string_view>

namespace kq2741sim {
namespace {

using protocol::kMaxWavelengths;
constexpr unsigned kMaxChannels = 255;
constexpr unsigned kMaxDelayMs = 600000;

unsigned number(std::string_view text, unsigned lo, unsigned hi, const std::string& what) {
    unsigned v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size() || v < lo || v > hi)
        throw UsageError(what + ": expected a number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ", got '" + std::string(text) + "'");
    return v;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        auto at = text.find(sep);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

std::vector<std::uint16_t> wavelength_list(std::string_view text, const std::string& what) {
    std::vector<std::uint16_t> out;
    for (auto part : split(text, ','))
        out.push_back(static_cast<std::uint16_t>(number(part, 1, 0xFFFF, what)));
    if (out.size() > kMaxWavelengths)
        throw UsageError(what + ": at most " + std::to_string(kMaxWavelengths) + " wavelengths");
    return out;
}

protocol::Version version(std::string_view text) {
    auto parts = split(text, '.');
    if (parts.size() != 3) throw UsageError("--version: expected MODULE.HARDWARE.SOFTWARE");
    auto byte = [](std::string_view p) {
        return static_cast<std::uint8_t>(number(p, 0, 255, "--version"));
    };
    return {byte(parts[0]), byte(parts[1]), byte(parts[2])};
}

}  // namespace

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string name(arg);
        std::string_view value;
        bool has_value = false;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = std::string(arg.substr(0, eq));
            value = arg.substr(eq + 1);
            has_value = true;
        }
        auto flag = [&](bool& target) {
            if (has_value) throw UsageError(name + " takes no value");
            target = true;
        };
        auto take = [&]() -> std::string_view {
            if (has_value) return value;
            if (i + 1 >= argc) throw UsageError(name + " needs a value");
            return argv[++i];
        };

        if (name == "--help" || name == "-h") flag(o.help);
        else if (name == "--split") flag(o.split);
        else if (name == "--silent") flag(o.silent);
        else if (name == "--corrupt") flag(o.corrupt);
        else if (name == "--verbose" || name == "-v") flag(o.verbose);
        else if (name == "--channels") o.channels = number(take(), 1, kMaxChannels, name);
        else if (name == "--wavelengths") o.wavelengths = wavelength_list(take(), name);
        else if (name == "--version") o.version = version(take());
        else if (name == "--link") o.link = take();
        else if (name == "--state-file") o.state_file = take();
        else if (name == "--delay-ms") o.delay_ms = number(take(), 0, kMaxDelayMs, name);
        else if (name == "--channel-wavelengths") {
            auto assignment = take();
            auto eq = assignment.find('=');
            if (eq == std::string_view::npos)
                throw UsageError(name + ": expected CHANNEL=W1,W2,...");
            unsigned ch = number(assignment.substr(0, eq), 1, kMaxChannels, name);
            o.channel_wavelengths[ch] = wavelength_list(assignment.substr(eq + 1), name);
        } else {
            throw UsageError("unknown option '" + std::string(arg) + "'");
        }
    }
    for (const auto& [ch, list] : o.channel_wavelengths)
        if (ch > o.channels)
            throw UsageError(std::string("--channel-wavelengths: channel ") +
                             std::to_string(ch) + " is above --channels " +
                             std::to_string(o.channels));
    return o;
}

std::vector<std::vector<std::uint16_t>> wavelength_table(const Options& opts) {
    std::vector<std::vector<std::uint16_t>> table(opts.channels, opts.wavelengths);
    for (const auto& [ch, list] : opts.channel_wavelengths) table[ch - 1] = list;
    return table;
}

const char* usage() {
    return "usage: kq2741-sim [options]\n"
           "Simulates a KQ2741 attenuator on a pseudo-terminal; prints the port path.\n"
           "  --channels N                 number of channels (default 4)\n"
           "  --wavelengths W1,W2,...      wavelengths in nm of every channel\n"
           "                               (default 1310,1490,1550)\n"
           "  --channel-wavelengths CH=W1,W2,...\n"
           "                               wavelengths of one channel (repeatable)\n"
           "  --version M.H.S              module, hardware, software version (2.50.32)\n"
           "  --link PATH                  symlink PATH to the port while running\n"
           "  --state-file PATH            keep channel state as JSON in PATH\n"
           "  --delay-ms N                 answer N ms after the request\n"
           "  --split                      send each answer in two writes 50 ms apart\n"
           "  --silent                     decode and apply requests, never answer\n"
           "  --corrupt                    invert the checksum byte of every answer\n"
           "  --verbose                    log frames on stderr\n";
}

}  // namespace kq2741sim
