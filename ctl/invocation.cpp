#include "invocation.hpp"

#include <cstdlib>
#include <getopt.h>
#include <vector>

#include "failure.hpp"
#include "protocol/units.hpp"
#include "values.hpp"

namespace kq2741::ctl {
namespace {

enum Long { kSim = 256, kJson, kTimeout, kLenient, kVerbose, kHelp, kVersion };

constexpr option kOptions[] = {
    {"port", required_argument, nullptr, 'p'},
    {"sim", no_argument, nullptr, kSim},
    {"json", no_argument, nullptr, kJson},
    {"timeout", required_argument, nullptr, kTimeout},
    {"lenient", no_argument, nullptr, kLenient},
    {"verbose", no_argument, nullptr, kVerbose},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

Invocation parse_invocation(int argc, char** argv) {
    Invocation inv;
    bool port_given = false;
    optind = 0;
    opterr = 0;
    // '+': options stop at the command; ':' reports a missing value as ':'.
    for (int c; (c = getopt_long(argc, argv, "+:p:h", kOptions, nullptr)) != -1;) {
        switch (c) {
        case 'p': inv.port = optarg; port_given = true; break;
        case kSim: inv.sim = true; break;
        case kJson: inv.json = true; break;
        case kTimeout: inv.timeout = parse_seconds("--timeout", optarg, false); break;
        case kLenient: inv.lenient = true; break;
        case kVerbose: inv.verbose = true; break;
        case 'h':
        case kHelp: inv.help = true; break;
        case kVersion: inv.version = true; break;
        case ':':
            throw usage_error(std::string(argv[optind - 1]) + " needs a value");
        default:
            throw usage_error("unknown option " + refused_option(argv) + " (kq2741ctl --help lists them)");
        }
    }
    if (inv.help || inv.version) return inv;
    if (port_given && inv.sim) throw usage_error("-p and --sim exclude each other");
    if (optind >= argc) throw usage_error("no command given (kq2741ctl --help lists them)");
    const std::vector<std::string> words(argv + optind, argv + argc);
    inv.command = parse_command(words);
    if (!port_given && !inv.sim) {
        const char* env = std::getenv("KQ2741_PORT");
        if (!env || !*env) throw usage_error("no port: give -p PORT, set KQ2741_PORT, or try --sim");
        inv.port = env;
    }
    return inv;
}

std::string usage() {
    std::string s =
        "usage: kq2741ctl [-p PORT | --sim] [--json] [--timeout SECONDS] [--lenient] [--verbose]\n"
        "                 COMMAND [ARGUMENTS]\n"
        "Controls a KQ2741 optical attenuator over its serial line.\n"
        "\n"
        "options (before the command):\n"
        "  -p, --port PORT    serial port (default: $KQ2741_PORT)\n"
        "  --sim              start kq2741-sim for this run and use its port\n"
        "  --json             JSON Lines on stdout, one object a record\n"
        "  --timeout SECONDS  wait this long for a complete answer (default 1.0)\n"
        "  --lenient          take any complete 7B..7D frame as the answer, without\n"
        "                     checksum, channel and command code checks\n"
        "  --verbose          log every frame sent and received on stderr\n"
        "  -h, --help         this text\n"
        "  --version          the program's version\n"
        "\n"
        "commands:\n";
    const std::string column(34, ' ');
    for (const auto& c : command_table()) {
        std::string head = "  " + std::string(c.name) + (c.arguments.empty() ? "" : " ") +
                           std::string(c.arguments);
        s += head.size() < column.size() ? head.append(column.size() - head.size(), ' ')
                                         : head + "\n" + column;
        for (char ch : c.does) s += ch == '\n' ? "\n" + column : std::string(1, ch);
        s += "\n";
    }
    s += "\n"
         "ATTENUATION, START, STOP, STEP: dB as 3.5 or 3.5dB, or mdB as 3500mdB; 0 to\n"
         KQ2741_MAX_DB_TEXT " dB in steps of " KQ2741_STEP_DB_TEXT " dB. CH: 1 to 255, at most 1024 in one command.\n"
         "NM: a wavelength in nm.\n"
         "\n"
         "batch reads a line, runs it, then reads the next (lines of at most 8192\n"
         "bytes), so commands can be fed one at a time; it stops at the first line\n"
         "that fails, after the lines before it ran, and says how many did.\n"
         "\n"
         "The port is held with flock and TIOCEXCL until the end, and refused when\n"
         "another program already has it open, when that program can be seen (this\n"
         "user's, or any as root). Its line settings are put back at the end.\n"
         "\n"
         "exit status:\n"
         "  0  success\n"
         "  1  the instrument answered, but not as expected\n"
         "  2  usage error: bad command, option or value; nothing of that command was\n"
         "     sent (in batch: the lines before it ran)\n"
         "  3  no complete answer within the time-out\n"
         "  4  the port cannot be opened (missing, no permission), or another program\n"
         "     has it\n"
         "  5  kq2741ctl itself could not go on: stdout could not be written (closed,\n"
         "     disk full), stdin could not be read, or memory ran out; what was sent\n"
         "     by then took effect\n";
    return s;
}

}  // namespace kq2741::ctl
