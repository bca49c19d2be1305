// The line under an open Attenuator: a local terminal held through the
// shared tty::Port (claimed before anything on it changes, read on its
// descriptor with the GIL released), or any other serial object pyserial
// opens (socket://, rfc2217://, loop://, a handler of the user's), read
// through its own methods.
#pragma once

#include <memory>

#include "core_state.hpp"
#include "protocol/exchange.hpp"

namespace kq2741::package {

class Line {
public:
    virtual ~Line() = default;
    virtual protocol::Transport& transport() = 0;
    // After the transport said Io::Failed: the line's own error, as the
    // serial library raises it (SerialException), unless one is set already.
    virtual void raise_failure() = 0;
    // Gives up the port (and the claim on it). False with an exception set
    // when the serial library's close failed; the line is closed all the same.
    virtual bool close() = 0;
};

// Opens port (a str: a device name or a pyserial URL) at 115200 8N1. Null
// with an exception set: PortBusy when another program (or another user in
// this one) holds a local port, else the serial library's own error.
std::unique_ptr<Line> open_line(const State& st, Borrowed port);

// The pyserial path, for what is not a local terminal.
std::unique_ptr<Line> open_serial_line(const State& st, Borrowed port);
#ifdef KQ2741CTL_TTY
// A local terminal: path is the port's name as the system spells it.
std::unique_ptr<Line> open_tty_line(const State& st, Borrowed port, const std::string& path);
#endif

}  // namespace kq2741::package
