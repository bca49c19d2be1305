// One exchange with the instrument: drop stale input, send the request, read
// until the frame that answers it is complete or the time-out has passed.
#pragma once

#include <chrono>
#include <span>
#include <vector>

#include "port.hpp"
#include "protocol/answer_search.hpp"
#include "trace.hpp"

namespace kq2741ctl {

namespace protocol = kq2741::protocol;

struct LinkSettings {
    std::chrono::milliseconds timeout{1000};
    // Take any complete 7B..7D frame, for firmware that answers otherwise:
    // no checksum, channel or command code checks.
    bool lenient = false;
};

class Link {
public:
    Link(Port& port, LinkSettings settings, const Trace& trace)
        : port_(port), settings_(settings), trace_(trace) {}

    // The answer to request, whose channel and command code it must repeat.
    // Throws a Failure: Exit::Answer, Exit::Timeout, or Exit::Port when the
    // port goes away.
    protocol::Received ask(std::span<const std::uint8_t> request);

private:
    using Clock = std::chrono::steady_clock;

    void drop_waiting_input();
    void trace(const std::vector<protocol::AnswerSearch::Event>& events) const;
    void send(std::span<const std::uint8_t> request, Clock::time_point deadline);
    // Waits for the port to become ready for events, false at the deadline.
    bool wait(short events, Clock::time_point deadline);
    [[noreturn]] void lost(const char* doing) const;

    Port& port_;
    LinkSettings settings_;
    const Trace& trace_;
};

}  // namespace kq2741ctl
