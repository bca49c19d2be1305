// --detach: the command returns once the port is ready, the simulator running
// on in the background, so the next line of a pasted block finds it there.
#pragma once

namespace kq2741::sim {

class Detached {
public:
    // Forks. The parent never returns from here: it waits for the port line
    // and prints it (exit 0), or ends with the status of a simulator that
    // failed to start. The child, in a session of its own (a terminal's
    // Ctrl-C or hang-up does not reach it), returns and starts.
    static Detached start();

    // In the child, once the port is ready: stdin and stdout go to /dev/null,
    // and stderr too unless it is a terminal or a file (a pipe held open would
    // keep whoever reads it, say a script capturing our output, waiting for an
    // end that comes only when the simulator stops); then the line goes to
    // the waiting parent. A parent gone by then leaves us running: --stop
    // finds us by the link.
    void ready(const char* port_line);

    Detached(Detached&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Detached& operator=(Detached&&) = delete;
    ~Detached();

private:
    explicit Detached(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace kq2741::sim
