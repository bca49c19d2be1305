// The serial line under an Attenuator: one exchange at a time, each
// returning as soon as the answer frame is complete.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/answer_search.hpp"
#include "state.hpp"

namespace kqctl {

namespace protocol = kq2741::protocol;
using Clock = std::chrono::steady_clock;

// What crossed the line during one exchange, kept only while the logger
// shows DEBUG, and logged once the exchange is over.
struct Transcript {
    struct Entry {
        const char* direction;  // "tx", "rx", or "--" for input dropped before the request
        protocol::Bytes bytes;
        std::string note;
    };
    std::vector<Entry> entries;

    void sent(std::span<const std::uint8_t> request);
    void dropped(std::span<const std::uint8_t> stale);
    void saw(const std::vector<protocol::AnswerSearch::Event>& events);
};

// The frame as a bytes object, for a serial object's write.
inline Ref bytes_of(std::span<const std::uint8_t> frame) {
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                                static_cast<Py_ssize_t>(frame.size())));
}

class Line {
public:
    virtual ~Line() = default;

    // Drops input already waiting, sends request, and feeds what arrives to
    // search until it holds the answer, a frame with a bad checksum has
    // settled, or timeout has passed; then what search still held is
    // decided, and `incomplete` is the start of a frame that never ended.
    // False with a Python exception set: the serial library's own error,
    // NoAnswer when the request could not be sent, or what a signal handler
    // raised (Ctrl-C).
    bool exchange(std::span<const std::uint8_t> request, protocol::AnswerSearch& search, Clock::duration timeout,
                  Transcript* transcript, protocol::Bytes& incomplete);
    // Gives back what the line claimed beyond the serial object (exclusive
    // use of a terminal); the serial object itself is closed by the caller.
    virtual void release() noexcept {}

protected:
    // Throws away the input already waiting, without waiting for more.
    virtual bool drop_waiting(Transcript* transcript) = 0;
    virtual bool send(std::span<const std::uint8_t> request, Clock::time_point deadline) = 0;
    // Feeds what arrives to search until it is done (see took()) or the deadline.
    virtual bool listen(protocol::AnswerSearch& search, Clock::time_point deadline, Transcript* transcript) = 0;

    // Feeds bytes that arrived to search: true once it holds the answer.
    // After a frame with a bad checksum the deadline draws near: the real
    // answer may still follow noise that looked like one, but not for long.
    static bool took(protocol::AnswerSearch& search, std::span<const std::uint8_t> bytes, Clock::time_point& deadline,
                     Transcript* transcript);

private:
    // A request that got no answer in time: its answer may still come, and
    // must not be taken for the next request's (the instrument answers in
    // order, and an answer to the same request looks the same).
    struct Owed {
        protocol::Bytes request;
        Clock::time_point until;
    };
    std::optional<Owed> owed_;
};

#ifdef KQ2741CTL_FD_LINE
// A serial object whose fileno() is a terminal: exchanges run on the
// descriptor with the GIL released. The port is claimed first (flock, then
// TIOCEXCL) and must have no other user; otherwise null with PortBusy set.
std::unique_ptr<Line> fd_line(const State& st, Borrowed serial, int fd, const std::string& port);
#endif

// Any other serial object (socket://, rfc2217://, loop://): through its own
// read and write.
std::unique_ptr<Line> serial_line(const State& st, Borrowed serial);

}  // namespace kqctl
