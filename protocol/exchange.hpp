// The verified exchange, whatever carries the bytes: kq2741ctl's terminal,
// the Python package's terminal or pyserial object. One place decides which
// frame answers which request, and when the line can be trusted again after
// a request went unanswered.
//
// The instrument answers in order, and answers to two equal requests look
// the same. So every request whose answer may still come stays "in flight";
// a frame is the answer to the oldest request in flight that it fits (same
// channel and command code), and every request before that one will never be
// answered. A request's answer is taken only when no earlier request in
// flight could claim it: after any failure (no answer, a garbled one, Ctrl-C
// mid-exchange, a line error) the next exchange first resynchronises with a
// probe, a harmless query that fits nothing in flight, and drops every frame
// before the probe's answer. On a responsive instrument that costs one
// exchange; nothing that is not the answer to this request is ever taken,
// however late the answers to earlier ones come.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/frame_reader.hpp"

namespace kq2741::protocol {

using Clock = std::chrono::steady_clock;

// After a frame with a wrong checksum, how long to keep listening for the
// real answer (noise may look like a frame) before reporting the bad one.
inline constexpr std::chrono::milliseconds kSettleAfterBadFrame{10};

// More requests in flight than this (a line silent for that many exchanges)
// and the oldest is taken as lost: the bound on what a silent line costs.
inline constexpr std::size_t kMaxInFlight = 64;

// A callable borrowed for the length of one call (std::function_ref, C++26).
template <class Signature>
class FunctionRef;
template <class R, class... A>
class FunctionRef<R(A...)> {
public:
    template <class F>
    FunctionRef(F& f) noexcept  // NOLINT: implicit, as a function parameter
        : object_(&f), call_([](void* o, A... a) -> R { return (*static_cast<F*>(o))(a...); }) {}
    R operator()(A... a) const { return call_(object_, a...); }

private:
    void* object_;
    R (*call_)(void*, A...);
};

// How a step on the line ended.
enum class Io {
    Done,         // as asked; for listen, the sink is satisfied or the deadline passed
    Failed,       // the line failed; the transport has raised or kept its own error
    Interrupted,  // a signal's handler asked to stop (Ctrl-C)
    TimedOut,     // send only: the line took no more bytes before the deadline
};

// The bytes' carrier. Reads hand what arrived to a sink, which says when it
// has what it waits for.
class Transport {
public:
    using Sink = FunctionRef<bool(std::span<const std::uint8_t>)>;
    virtual ~Transport() = default;
    // What has already arrived, without waiting for more.
    virtual Io drain(Sink sink) = 0;
    virtual Io send(std::span<const std::uint8_t> frame, Clock::time_point deadline) = 0;
    // What arrives until the sink is satisfied or deadline passes; the sink
    // may bring the deadline closer while it runs.
    virtual Io listen(const Clock::time_point& deadline, Sink sink) = 0;
};

// Who hears of every frame: kq2741ctl --verbose, the package's logger.
class Witness {
public:
    virtual ~Witness() = default;
    virtual void sent(std::span<const std::uint8_t> frame, std::string_view note) = 0;
    virtual void dropped(std::span<const std::uint8_t> bytes, std::string_view note) = 0;
    virtual void received(std::span<const std::uint8_t> bytes, std::string_view note) = 0;
};

// A request whose answer may still come: what its answer repeats.
struct Asked {
    std::uint8_t channel;
    std::uint16_t code;
};

// How one request went.
struct Exchange {
    enum class Ending {
        Answered,
        Silent,        // no answer, nor any frame, within the time-out
        BadChecksum,   // only a frame with a wrong checksum
        Unanswered,    // only frames that answer other requests
        LineFailed,
        Interrupted,
        SendTimedOut,
    };
    Ending ending = Ending::Silent;
    std::optional<Received> answer;   // Answered
    std::optional<Received> bad;      // the last frame with a wrong checksum
    std::optional<Received> stray;    // the last frame that answered no request in flight
    Bytes incomplete;                 // the start of a frame that never ended
    // The failure came while resynchronising (the probe went unanswered):
    // the request itself was not sent.
    bool resynchronising = false;
    // Any of the request went out (it may take effect even if unanswered).
    bool request_sent = false;
};

class Exchanger {
public:
    // lenient: any complete 7B..7D frame is the answer, whatever its
    // checksum, channel and command code (for firmware that answers
    // otherwise); nothing can then be told apart, so nothing is resynchronised.
    explicit Exchanger(bool lenient = false) : lenient_(lenient) {}

    Exchange ask(Transport& line, std::span<const std::uint8_t> request, Clock::duration timeout, Witness* witness);

    // The line was opened afresh on a new device (the old one vanished): no
    // answer of an earlier request can come on it. A line merely reopened
    // may still deliver late answers and keeps what is in flight.
    void restart() { in_flight_.clear(); }
    bool synchronised() const { return in_flight_.empty(); }

private:
    Exchange resynchronise(Transport& line, Clock::duration timeout, Witness* witness);
    Exchange converse(Transport& line, std::span<const std::uint8_t> request, Clock::duration timeout,
                      Witness* witness, std::string_view why);
    Bytes probe() const;
    bool in_flight(Asked asked) const;

    bool lenient_;
    std::deque<Asked> in_flight_;  // oldest first; the newest is the request now asked
    std::vector<std::uint8_t> channels_;  // channels that have answered: probes may ask them
};

// "status on channel 1": a request or an answer, for messages and logs.
std::string describe(std::uint8_t channel, std::uint16_t code);

}  // namespace kq2741::protocol
