// The command line: global options, then the command and its arguments.
#pragma once

#include <chrono>
#include <string>

#include "command.hpp"

namespace kq2741::ctl {

struct Invocation {
    std::string port;  // from -p, else KQ2741_PORT; empty with --sim
    bool sim = false;
    bool json = false;
    std::chrono::milliseconds timeout{1000};
    bool lenient = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
    Command command;
};

// Reads argv and the environment; throws a usage Failure, before anything
// has been opened.
Invocation parse_invocation(int argc, char** argv);
std::string usage();

}  // namespace kq2741::ctl
