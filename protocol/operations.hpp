// The instrument's operations over the verified exchange, what can go wrong
// with each, and the one text that says so. kq2741ctl maps a fault to an
// exit status, the Python package to an exception; neither words its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/answers.hpp"
#include "protocol/exchange.hpp"

namespace kq2741::protocol {

enum class Fault {
    NoAnswer,      // no complete answer within the time-out
    Unanswered,    // only frames that answer other requests
    BadChecksum,   // only a frame with a wrong checksum
    Misshapen,     // the answer lacks its command's shape
    Refused,       // acknowledged with a non-zero status byte
    Unsupported,   // a wavelength that is not in the channel's list
    SendTimedOut,  // the line took no bytes within the time-out
    LineFailed,    // the transport's own error tells what (message empty)
    Interrupted,   // a signal's handler asked to stop (message empty)
};

struct Failure {
    Fault fault;
    std::string message;
    Bytes frame;              // BadChecksum, Misshapen, Unanswered: the frame
    std::uint8_t status = 0;  // Refused: the status byte
    bool request_sent = true; // false: it failed before this request went out
};

// A value, or why there is none.
template <class T>
class Outcome {
public:
    Outcome(T value) : v_(std::move(value)) {}          // NOLINT: implicit, as a return value
    Outcome(Failure failure) : v_(std::move(failure)) {}  // NOLINT
    explicit operator bool() const { return v_.index() == 0; }
    T& operator*() { return std::get<0>(v_); }
    T* operator->() { return &std::get<0>(v_); }
    const Failure& failure() const { return std::get<1>(v_); }

private:
    std::variant<T, Failure> v_;
};
struct Acknowledged {};

class Operations {
public:
    Operations(Exchanger& exchanger, Transport& line, Clock::duration timeout, Witness* witness)
        : exchanger_(exchanger), line_(line), timeout_(timeout), witness_(witness) {}

    // The verified answer to any request (kq2741ctl raw).
    Outcome<Received> ask(std::span<const std::uint8_t> request);

    Outcome<Version> version();
    Outcome<std::vector<std::uint16_t>> wavelengths(std::uint8_t channel);
    Outcome<Status> status(std::uint8_t channel);
    // Reads the channel's own list and selects nm by its position there:
    // channels need not support the same wavelengths. nm_text is nm as the
    // caller wrote it, for the message when the list lacks it (nm outside
    // 16 bits is in no list). The result is the position selected.
    Outcome<std::uint8_t> select(std::uint8_t channel, std::int64_t nm, std::string_view nm_text);
    Outcome<Acknowledged> set_attenuation(std::uint8_t channel, std::uint16_t steps);
    Outcome<Acknowledged> clear(std::uint8_t channel);
    Outcome<Acknowledged> disconnect(std::uint8_t channel);
    Outcome<Acknowledged> close_display();

private:
    Outcome<Acknowledged> acknowledged(std::span<const std::uint8_t> request);

    Exchanger& exchanger_;
    Transport& line_;
    Clock::duration timeout_;
    Witness* witness_;
};

// "1310, 1490, 1550 nm", or "none".
std::string nm_list(const std::vector<std::uint16_t>& nm);
// Seconds as the messages show them: 0.25, 1.0.
std::string seconds_text(Clock::duration timeout);

}  // namespace kq2741::protocol
