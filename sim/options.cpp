#include "options.hpp"

#include <getopt.h>

namespace kq2741::sim {

Options parse_options(int argc, char** argv) {
    // Long options have codes above 255, so an unknown short one ('-x' in
    // '-xy') is told apart by its letter in optopt.
    enum { kHelp = 256, kVerbose, kVersion, kSplit, kSilent, kCorrupt, kStopWithStdin, kChannels,
           kWavelengths, kChannelWavelengths, kDeviceVersion, kLink, kStateFile, kDelayMs, kDetach, kStop,
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
        {"detach", no_argument, nullptr, kDetach},
        {"stop", required_argument, nullptr, kStop},
        {"corrupt-rate", required_argument, nullptr, kCorruptRate},
        {"drop-rate", required_argument, nullptr, kDropRate},
        {"seed", required_argument, nullptr, kSeed},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    optind = 0;
    opterr = 0;  // one line of our own instead of getopt's
    int index = 0;
    unsigned options_given = 0;
    // ':' first: a missing value comes back as ':' rather than '?'.
    for (int c; (c = getopt_long(argc, argv, ":hv", kOptions, &index)) != -1;) {
        const std::string name = std::string("--") + kOptions[index].name;
        ++options_given;
        switch (c) {
        case 'h':
        case kHelp: o.help = true; break;
        case 'v':
        case kVerbose: o.verbose = true; break;
        case kVersion: o.version = true; break;
        case kSplit:
        case kSilent:
        case kCorrupt:
        case kChannels:
        case kWavelengths:
        case kChannelWavelengths:
        case kDeviceVersion:
        case kDelayMs:
        case kCorruptRate:
        case kDropRate:
        case kSeed:
            // The instrument's own settings, by the names they have everywhere.
            try {
                kq2741::model::set(o.instrument, kOptions[index].name, optarg ? optarg : "");
            } catch (const kq2741::model::SettingError& e) {
                throw UsageError(name + ": " + e.what());
            }
            break;
        case kStopWithStdin: o.stop_with_stdin = true; break;
        case kLink: o.link = optarg; break;
        case kStateFile: o.state_file = optarg; break;
        case kDetach: o.detach = true; break;
        case kStop:
            if (!*optarg) throw UsageError("--stop needs the simulator's --link PATH");
            o.stop_link = optarg;
            break;
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
    if (!o.stop_link.empty() && options_given != 1)
        throw UsageError("--stop PATH takes no other option");
    if (o.detach && o.link.empty()) throw UsageError("--detach needs --link, by which --stop finds it");
    if (o.detach && o.stop_with_stdin) throw UsageError("--detach and --stop-with-stdin exclude each other");
    try {
        kq2741::model::check(o.instrument);
    } catch (const kq2741::model::SettingError& e) {
        throw UsageError("--" + e.name + ": " + e.what());
    }
    return o;
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
           "  --link PATH                  symlink PATH to the port while running; refused\n"
           "                               (status 4) while another simulator owns PATH\n"
           "  --detach                     with --link: return once the port is ready, the\n"
           "                               simulator running on in the background\n"
           "  --stop PATH                  stop the simulator whose --link is PATH, and wait\n"
           "                               until it has ended (status 3 when none has it)\n"
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
           "  --version                    the program's version\n"
           "\n"
           "exit status:\n"
           "  0  stopped by SIGINT, SIGTERM or SIGHUP (or --stop-with-stdin); --detach:\n"
           "     the port is ready; --stop: the simulator has ended\n"
           "  1  the simulator failed (pty, --link, state file), or --stop could not stop it\n"
           "  2  usage error\n"
           "  3  --stop PATH: no running simulator owns PATH\n"
           "  4  --link PATH: another running simulator owns PATH (kq2741-sim --stop PATH)\n";
}

}  // namespace kq2741::sim
