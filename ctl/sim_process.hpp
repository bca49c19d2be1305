// --sim: a kq2741-sim started for this run and stopped after it. It runs
// with --stop-with-stdin on a pipe only we write to, so it also stops when
// we are killed (SIGKILL included) without a chance to stop it.
#pragma once

#include <string>
#include <sys/types.h>

#include "trace.hpp"

namespace kq2741::ctl {

class SimProcess {
public:
    // Starts the kq2741-sim next to this program, else the one on PATH, and
    // reads its port. Throws a Failure (Exit::Port).
    explicit SimProcess(const Trace& trace);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& port() const { return port_; }

private:
    void read_port(int from);
    void stop();

    const Trace& trace_;
    pid_t pid_ = 0;
    int lifeline_ = -1;
    std::string port_;
};

}  // namespace kq2741::ctl
