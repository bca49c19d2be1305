// Master side of the pseudo-terminal that stands in for the serial port.
#pragma once

#include <string>

namespace kq2741sim {

class Pty {
public:
    // Throws std::system_error.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int fd() const { return fd_; }
    const std::string& port() const { return port_; }

    // Puts the port back in raw mode if a client left it cooked, so answers
    // are neither echoed back to us nor translated on the way out.
    // Returns false if the settings could not be read or written.
    bool ensure_raw();
    // Throws away answers the last client never read; a serial port that is
    // closed does not hand old bytes to its next user, a pty would.
    void discard_unread();

private:
    int fd_ = -1;
    std::string port_;
};

}  // namespace kq2741sim
