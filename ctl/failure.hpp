// Exit statuses of kq2741ctl, and the one-line failure that carries them to main.
#pragma once

#include <stdexcept>
#include <string>

namespace kq2741::ctl {

enum class Exit : int {
    Ok = 0,
    Answer = 1,   // the instrument answered, but not as expected
    Usage = 2,    // bad command, option or value; nothing of that command was sent
    Timeout = 3,  // no complete answer within the time-out
    Port = 4,     // the port cannot be opened, or another program has it open
    Local = 5,    // kq2741ctl itself could not go on: stdout or stdin failed, memory ran out
};

struct Failure : std::runtime_error {
    Failure(Exit status, const std::string& message) : std::runtime_error(message), status(status) {}
    Exit status;
};

inline Failure usage_error(const std::string& message) {
    return Failure(Exit::Usage, message);
}

}  // namespace kq2741::ctl
