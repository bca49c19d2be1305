// What must not outlive the process when a signal ends it: the exclusive
// claim on the port and a simulator started by --sim.
#pragma once

#include <sys/types.h>

namespace kq2741ctl::cleanup {

// SIGINT, SIGTERM, SIGHUP and SIGPIPE release what is watched, then end the
// process as the signal would have.
void install();
void watch_port(int fd);  // -1: nothing to release
void watch_child(pid_t pid);  // 0: nothing to stop

}  // namespace kq2741ctl::cleanup
