// Splits a byte stream into frames, however the bytes were cut into reads and
// whatever line noise lies between them.
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

// Every 7B is a candidate frame start. A candidate fails when its length byte
// lies outside the range the reader was made for, when the byte that length
// points at is not 7D, or when its checksum is wrong; scanning then resumes at
// the next 7B after the candidate's start, in the bytes already read, so noise
// in front of a frame (a stray 7B whose "length" reaches far past it) never
// hides that frame. A candidate with a wrong checksum is reported as
// BadChecksum only when no frame, whole or still arriving, starts inside it.
// A candidate waits for its last byte however long that takes: the caller
// owns the clock and calls finish() when it stops waiting.
class FrameReader {
public:
    // Requests carry at most two payload bytes, so a tight range.
    static FrameReader for_requests() { return FrameReader(5, 7); }
    // Answers run up to the longest wavelength list the length byte allows.
    static FrameReader for_answers() { return FrameReader(5, 0xFF); }

    std::vector<Received> feed(std::span<const std::uint8_t> data);
    // No more bytes will come: what is held back is decided and reported.
    std::vector<Received> finish();
    void reset() { buf_.clear(); }
    // Bytes held back for the next feed: the beginning of a frame, perhaps.
    const Bytes& pending() const { return buf_; }

private:
    enum class Candidate { Fails, Incomplete, BadChecksum, Whole };

    FrameReader(std::uint8_t min_length, std::uint8_t max_length)
        : min_length_(min_length), max_length_(max_length) {}

    std::vector<Received> scan(bool final);
    Candidate classify(std::size_t at, bool final, std::size_t& total) const;
    // A whole or incomplete candidate starts inside (at, at + total).
    bool hides_another(std::size_t at, std::size_t total, bool final) const;

    std::uint8_t min_length_;
    std::uint8_t max_length_;
    Bytes buf_;
};

}  // namespace kq2741::protocol
