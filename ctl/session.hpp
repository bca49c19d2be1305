// The instrument on its port for one run: the port held (tty::Port), the
// shared operations on it, and their outcomes turned into kq2741ctl's
// failures, exit statuses and hints.
#pragma once

#include <chrono>
#include <string>

#include "failure.hpp"
#include "protocol/operations.hpp"
#include "trace.hpp"
#include "tty/line.hpp"
#include "tty/port.hpp"

namespace kq2741::ctl {

// Opens and claims the port; throws a Failure (Exit::Port) that says what to check.
tty::Port open_port(const std::string& path);

class Session {
public:
    Session(const tty::Port& port, std::chrono::milliseconds timeout, bool lenient, const Trace& trace);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    protocol::Operations& operations() { return operations_; }

    // The value, or a Failure thrown with the exit status the fault calls for.
    template <class T>
    T check(protocol::Outcome<T> outcome) const {
        if (!outcome) fail(outcome.failure());
        return std::move(*outcome);
    }

private:
    // --verbose: every frame, as it crosses the line.
    class Traced final : public protocol::Witness {
    public:
        explicit Traced(const Trace& trace) : trace_(trace) {}
        void sent(std::span<const std::uint8_t> frame, std::string_view note) override;
        void dropped(std::span<const std::uint8_t> bytes, std::string_view note) override;
        void received(std::span<const std::uint8_t> bytes, std::string_view note) override;

    private:
        const Trace& trace_;
    };

    [[noreturn]] void fail(const protocol::Failure& failure) const;

    const tty::Port& port_;
    Traced traced_;
    tty::Waiter waiter_;  // plain waits: a signal ends the program (cleanup.hpp)
    tty::Line line_;
    protocol::Exchanger exchanger_;
    protocol::Operations operations_;
};

}  // namespace kq2741::ctl
