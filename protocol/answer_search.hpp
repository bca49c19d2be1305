// Is this complete frame the answer to this request? The one place that
// decides it, for every transport: kq2741ctl's tty and the Python package's
// serial connection feed it the bytes they read, and it says what each frame
// was and when the answer has come.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/frame_reader.hpp"

namespace kq2741::protocol {

// After a frame with a wrong checksum, how long to keep listening for the
// real answer (noise may look like a frame) before reporting the bad one.
inline constexpr std::chrono::milliseconds kSettleAfterBadFrame{10};

class AnswerSearch {
public:
    enum class Seen {
        Junk,         // bytes that start no frame
        Stray,        // a whole frame answering another request: dropped
        BadChecksum,  // a frame whose checksum is wrong: not taken
        Answer,       // the answer; bytes after it are not looked at
    };
    struct Event {
        Seen seen;
        Received received;
    };

    // The answer repeats the request's channel and command code. lenient:
    // any complete 7B..7D frame is the answer, whatever its checksum,
    // channel and command code.
    explicit AnswerSearch(std::span<const std::uint8_t> request, bool lenient = false);

    // What the bytes held, in order.
    std::vector<Event> feed(std::span<const std::uint8_t> data);
    // The wait is over: what is still held back, decided.
    std::vector<Event> finish();

    bool answered() const { return answer_.has_value(); }
    const Received& answer() const { return *answer_; }
    // The last frame seen with a wrong checksum, and the last one answering
    // another request: what to report when no answer comes.
    const std::optional<Received>& bad_checksum() const { return bad_checksum_; }
    const std::optional<Received>& stray() const { return stray_; }
    // The beginning of a frame that has not ended yet (finish() reports it).
    const Bytes& pending() const { return reader_.pending(); }

private:
    std::vector<Event> sort(std::vector<Received> received);

    FrameReader reader_ = FrameReader::for_answers();
    std::uint8_t channel_;
    std::uint16_t code_;
    bool lenient_;
    std::optional<Received> answer_;
    std::optional<Received> bad_checksum_;
    std::optional<Received> stray_;
};

// "status on channel 1": a request or an answer, for messages and logs.
std::string describe(std::uint8_t channel, std::uint16_t code);
// What an event was, for a log line: "not a frame, skipped", "status answer", ...
std::string note(const AnswerSearch::Event& event);

}  // namespace kq2741::protocol
