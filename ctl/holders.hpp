// Who else has a tty open, for the message that says the port is taken.
#pragma once

#include <string>

namespace kq2741ctl {

// "process 1234 (kq2741ctl)", several joined by ", ", or "" when none can be
// seen (another user's processes hide their open files).
std::string holders_of(const std::string& tty_path);

}  // namespace kq2741ctl
