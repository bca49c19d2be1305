// What must not outlive the process when a signal ends it: the exclusive
// claim on the port and the line settings it found. (A simulator started by
// --sim ends by itself when we do: see sim_process.hpp.)
#pragma once

#include <termios.h>

namespace kq2741::ctl::cleanup {

// SIGINT, SIGTERM, SIGHUP and SIGPIPE put back what is watched, then end the
// process as the signal would have.
void install();
// fd is claimed (flock, TIOCEXCL); found are its settings before we changed them.
void watch_port(int fd, const termios& found);
void unwatch_port();

}  // namespace kq2741::ctl::cleanup
