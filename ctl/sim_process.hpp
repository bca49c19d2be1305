// --sim: a kq2741-sim started for this run and stopped after it.
#pragma once

#include <string>
#include <sys/types.h>

#include "trace.hpp"

namespace kq2741ctl {

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
    std::string port_;
};

}  // namespace kq2741ctl
