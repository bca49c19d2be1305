// The verified exchange's transport on a terminal's descriptor: reads and
// writes that never block, and waits in poll() bounded by the exchange's
// deadline. How a wait blocks and what a signal does are the caller's: the
// Python package waits with the GIL released and runs signal handlers;
// kq2741ctl waits plainly and lets signals end it.
#pragma once

#include <poll.h>
#include <time.h>

#include "protocol/exchange.hpp"

namespace kq2741::tty {

class Waiter {
public:
    virtual ~Waiter() = default;
    // One wait, as ppoll() does it.
    virtual int wait(pollfd& p, const timespec& span) noexcept { return ppoll(&p, 1, &span, nullptr); }
    // A signal interrupted a read, write or wait: true to give up
    // (Io::Interrupted), false to go on.
    virtual bool interrupted() noexcept { return false; }
};

class Line final : public protocol::Transport {
public:
    using Io = protocol::Io;
    using Clock = protocol::Clock;

    Line(int fd, Waiter& waiter) : fd_(fd), waiter_(waiter) {}

    Io drain(Sink sink) override;
    Io send(std::span<const std::uint8_t> frame, Clock::time_point deadline) override;
    Io listen(const Clock::time_point& deadline, Sink sink) override;

    // After Io::Failed: what failed ("read failed", "write failed", "poll
    // failed") and its errno; 0 for a hang-up (device unplugged, the other
    // end of a pseudo-terminal gone).
    const char* failed_doing() const { return doing_; }
    int failed_error() const { return error_; }

private:
    enum class Read { Data, Empty, Failed, Interrupted };
    Read read_some(std::uint8_t* buf, std::size_t size, std::size_t& got);
    // Waits until the descriptor is ready for events (ready) or the deadline passes.
    Io wait(short events, const Clock::time_point& deadline, bool& ready);
    Io fail(const char* doing, int error);

    int fd_;
    Waiter& waiter_;
    const char* doing_ = "";
    int error_ = 0;
};

}  // namespace kq2741::tty
