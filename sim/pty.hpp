// The pseudo-terminal that stands in for the serial port: its master side,
// and its slave side held out of sight (see parked.hpp) for as long as the
// simulator runs, as a real port exists whether or not anyone has it open.
#pragma once

#include <optional>
#include <string>

#include "parked.hpp"

namespace kq2741::sim {

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
    // Takes off a TIOCEXCL the last client left behind. A real port forgets
    // it with its last close; a pty's slave lives as long as its master, so a
    // client killed before it could clear it would lock everyone else out.
    void end_exclusive_use();

private:
    int fd_ = -1;
    std::string port_;
    std::optional<Parked> slave_;
};

}  // namespace kq2741::sim
