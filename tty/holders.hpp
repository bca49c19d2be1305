// Who else has a terminal device open: for the message that says a port is
// taken, and for the check that no program which takes no lock (pyserial
// without exclusive=True, the kq2741 module) shares the line.
#pragma once

#include <string>
#include <sys/types.h>

namespace kq2741::tty {

// Processes other than this one that have the terminal device `rdev` open,
// as "process 1234 (python3)", several joined by ", "; "" when none can be
// seen (another user's processes hide their open files). The process that
// holds the master side of a pseudo-terminal (kq2741-sim, a terminal
// emulator) owns the line rather than using it, and is left out.
std::string other_holders(dev_t rdev);
// The same for the device at path; "" when path is not a character device.
std::string other_holders(const std::string& path);

// Whether this process has the device open on a descriptor other than fd
// (-1: any): a second user of the port inside the same program. A process
// that also holds the master side of that pseudo-terminal owns the line
// rather than using it, as for other_holders.
bool open_here_besides(dev_t rdev, int fd);

// The one line that says a port is taken, naming its holders when they can
// be seen: "PATH is held by another program: process 12 (python3); wait ...".
std::string busy_message(const std::string& path, const std::string& holders);

}  // namespace kq2741::tty
