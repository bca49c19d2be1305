// Splits a byte stream into frames, however the bytes were cut into reads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "protocol/frame.hpp"

namespace kq2741::protocol {

struct Received {
    enum class Kind { Frame, Junk, BadChecksum };
    Kind kind;
    Bytes raw;
    Frame frame;  // for Frame; for BadChecksum what its bytes claim
};

// A 7B starts a frame only when its length byte lies in the range the
// reader was made for and the byte that length points at is 7D; any other 7B
// is junk, which lets the reader resynchronise on the next 7B after line
// noise. A frame waits for its last byte, however long that takes: the
// caller owns the clock.
class FrameReader {
public:
    // Requests carry at most two payload bytes, so a tight range.
    static FrameReader for_requests() { return FrameReader(5, 7); }
    // Answers run up to the longest wavelength list the length byte allows.
    static FrameReader for_answers() { return FrameReader(5, 0xFF); }

    std::vector<Received> feed(std::span<const std::uint8_t> data);
    void reset() { buf_.clear(); }
    // Bytes held back for the next feed: the beginning of a frame.
    const Bytes& pending() const { return buf_; }

private:
    FrameReader(std::uint8_t min_length, std::uint8_t max_length)
        : min_length_(min_length), max_length_(max_length) {}

    std::uint8_t min_length_;
    std::uint8_t max_length_;
    Bytes buf_;
};

}  // namespace kq2741::protocol
