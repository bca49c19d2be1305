// Answers waiting for their moment on the line, in the order they were made.
#pragma once

#include <chrono>
#include <deque>
#include <string>

#include "protocol/frame.hpp"

namespace kq2741::model {

class Outbox {
public:
    using Clock = std::chrono::steady_clock;

    struct Chunk {
        protocol::Bytes data;
        Clock::time_point due;
        std::string note;
    };

    // A chunk never goes out before the ones queued ahead of it, whatever its
    // own due time, so split or delayed answers cannot interleave.
    void push(protocol::Bytes data, Clock::time_point due, std::string note);
    bool empty() const { return chunks_.empty(); }
    bool head_due(Clock::time_point now) const;
    // Milliseconds until the head is due (rounded up), -1 when nothing waits.
    int timeout_ms(Clock::time_point now) const;
    Chunk& head() { return chunks_.front(); }
    void pop() { chunks_.pop_front(); }
    void clear() { chunks_.clear(); }

private:
    std::deque<Chunk> chunks_;
};

}  // namespace kq2741::model
