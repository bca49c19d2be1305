#include "options.hpp"

#include <charconv>
#include <getopt.h>
#include <string_view>

namespace kq2741::sim {
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
        out.push_back(static_cast<std::uint16_t>(number(part, 1, protocol::kMaxNm, what)));
    if (out.size() > kMaxWavelengths)
        throw UsageError(what + ": at most " + std::to_string(kMaxWavelengths) + " wavelengths");
    return out;
}

double fraction(std::string_view text, const std::string& what) {
    double v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    // !(v >= 0 && v <= 1) also refuses NaN.
    if (ec != std::errc{} || end != text.data() + text.size() || !(v >= 0.0 && v <= 1.0))
        throw UsageError(what + ": expected a fraction from 0 to 1, got '" + std::string(text) + "'");
    return v;
}

std::uint64_t seed(std::string_view text, const std::string& what) {
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size())
        throw UsageError(what + ": expected a whole number from 0 to 18446744073709551615, got '" +
                         std::string(text) + "'");
    return v;
}

protocol::Version device_version(std::string_view text) {
    auto parts = split(text, '.');
    if (parts.size() != 3) throw UsageError("--device-version: expected MODULE.HARDWARE.SOFTWARE");
    auto byte = [](std::string_view p) {
        return static_cast<std::uint8_t>(number(p, 0, 255, "--device-version"));
    };
    return {byte(parts[0]), byte(parts[1]), byte(parts[2])};
}

}  // namespace

Options parse_options(int argc, char** argv) {
    // Long options have codes above 255, so an unknown short one ('-x' in
    // '-xy') is told apart by its letter in optopt.
    enum { kHelp = 256, kVerbose, kVersion, kSplit, kSilent, kCorrupt, kStopWithStdin, kChannels,
           kWavelengths, kChannelWavelengths, kDeviceVersion, kLink, kStateFile, kDelayMs,
           kCorruptRate, kDropRate, kSeed };
    static const option kOptions[] = {
        {"help", no_argument, nullptr, kHelp},
        {"verbose", no_argument, nullptr, kVerbose},
        {"version", no_argument, nullptr, kVersion},
        {"split", no_argument, nullptr, kSplit},
        {"silent", no_argument, nullptr, kSilent},
        {"corrupt", no_argument, nullptr, kCorrupt},
        {"stop-with-stdin", no_argument, nullptr, kStopWithStdin},
        {"channels", required_argument, nullptr, kChannels},
        {"wavelengths", required_argument, nullptr, kWavelengths},
        {"channel-wavelengths", required_argument, nullptr, kChannelWavelengths},
        {"device-version", required_argument, nullptr, kDeviceVersion},
        {"link", required_argument, nullptr, kLink},
        {"state-file", required_argument, nullptr, kStateFile},
        {"delay-ms", required_argument, nullptr, kDelayMs},
        {"corrupt-rate", required_argument, nullptr, kCorruptRate},
        {"drop-rate", required_argument, nullptr, kDropRate},
        {"seed", required_argument, nullptr, kSeed},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    optind = 0;
    opterr = 0;  // one line of our own instead of getopt's
    int index = 0;
    // ':' first: a missing value comes back as ':' rather than '?'.
    for (int c; (c = getopt_long(argc, argv, ":hv", kOptions, &index)) != -1;) {
        const std::string name = std::string("--") + kOptions[index].name;
        switch (c) {
        case 'h':
        case kHelp: o.help = true; break;
        case 'v':
        case kVerbose: o.verbose = true; break;
        case kVersion: o.version = true; break;
        case kSplit: o.split = true; break;
        case kSilent: o.silent = true; break;
        case kCorrupt: o.corrupt = true; break;
        case kStopWithStdin: o.stop_with_stdin = true; break;
        case kChannels: o.channels = number(optarg, 1, kMaxChannels, name); break;
        case kWavelengths: o.wavelengths = wavelength_list(optarg, name); break;
        case kDeviceVersion: o.device_version = device_version(optarg); break;
        case kLink: o.link = optarg; break;
        case kStateFile: o.state_file = optarg; break;
        case kDelayMs: o.delay_ms = number(optarg, 0, kMaxDelayMs, name); break;
        case kCorruptRate: o.corrupt_rate = fraction(optarg, name); break;
        case kDropRate: o.drop_rate = fraction(optarg, name); break;
        case kSeed:
            o.seed = seed(optarg, name);
            o.seeded = true;
            break;
        case kChannelWavelengths: {
            std::string_view assignment = optarg;
            auto eq = assignment.find('=');
            if (eq == std::string_view::npos) throw UsageError(name + ": expected CHANNEL=W1,W2,...");
            unsigned ch = number(assignment.substr(0, eq), 1, kMaxChannels, name);
            o.channel_wavelengths[ch] = wavelength_list(assignment.substr(eq + 1), name);
            break;
        }
        case ':': throw UsageError(std::string(argv[optind - 1]) + " needs a value");
        default: {
            // getopt names an unknown short option, and a long option given
            // a value it does not take, in optopt; an unknown long one only in argv.
            if (optopt > ' ' && optopt < 0x7F)
                throw UsageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
            const std::string given = argv[optind - 1];
            if (optopt >= kHelp) throw UsageError(given.substr(0, given.find('=')) + " takes no value");
            throw UsageError("unknown option '" + given + "'");
        }
        }
    }
    if (optind < argc) throw UsageError("unknown option '" + std::string(argv[optind]) + "'");
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
           "  --device-version M.H.S       the simulated instrument's module, hardware and\n"
           "                               software version (default 2.50.32)\n"
           "  --link PATH                  symlink PATH to the port while running\n"
           "  --state-file PATH            keep channel state as JSON in PATH\n"
           "  --delay-ms N                 answer N ms after the request\n"
           "  --split                      send each answer in two writes 50 ms apart\n"
           "  --silent                     decode and apply requests, never answer\n"
           "  --corrupt                    invert the checksum byte of every answer\n"
           "  --corrupt-rate P             invert it in a fraction P (0 to 1) of the answers\n"
           "  --drop-rate P                never send a fraction P (0 to 1) of the answers\n"
           "  --seed N                     seed of the draws of --corrupt-rate and --drop-rate\n"
           "                               (default: a random seed)\n"
           "  --stop-with-stdin            stop when standard input reaches its end (a\n"
           "                               parent holding a pipe to it ends us by ending)\n"
           "  --verbose                    log frames on stderr\n"
           "  -h, --help                   this text\n"
           "  --version                    the program's version\n";
}

}  // namespace kq2741::sim
