// Command-line options of kq2741-sim.
#pragma once

#include <stdexcept>
#include <string>

#include "model/settings.hpp"

namespace kq2741::sim {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    kq2741::model::Settings instrument;  // --channels ... --corrupt
    std::string link;
    std::string state_file;
    bool stop_with_stdin = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// Throws UsageError on anything it cannot use.
Options parse_options(int argc, char** argv);
const char* usage();

}  // namespace kq2741::sim
