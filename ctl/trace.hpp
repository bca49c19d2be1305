// The --verbose log: every frame sent and received, in hex with a timestamp,
// on stderr.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

namespace kq2741::ctl {

class Trace {
public:
    explicit Trace(bool on) : on_(on) {}

    // Callers test this before building a note, so a quiet run builds none.
    bool on() const { return on_; }
    // what: "tx" or "rx" with the frame's bytes; "--" for anything else,
    // with the bytes it concerns (stale input dropped) or none (the
    // simulator started or stopped).
    void line(const char* what, std::span<const std::uint8_t> bytes, const std::string& note) const;

private:
    bool on_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace kq2741::ctl
