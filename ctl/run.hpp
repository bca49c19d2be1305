// Carrying out a command on the instrument.
#pragma once

#include <cstddef>
#include <istream>

#include "command.hpp"
#include "session.hpp"
#include "output.hpp"

namespace kq2741::ctl {

// Throws a Failure on the first thing that goes wrong; what was printed by
// then stays printed.
void run(const Command& command, Session& session, const Output& out);

// Lines longer than this stop a batch: its memory stays bounded.
constexpr std::size_t kMaxBatchLine = 8192;

// Runs the commands of input, one a line, until its end. Blank lines and
// lines starting with '#' are skipped. A failure names its line and says how
// many commands before it ran.
void run_batch(std::istream& input, Session& session, const Output& out);

}  // namespace kq2741::ctl
