#include "protocol/answer_search.hpp"

namespace kq2741::protocol {

AnswerSearch::AnswerSearch(std::span<const std::uint8_t> request, bool lenient)
    : channel_(request[kChannelAt]), code_(code_of(request)), lenient_(lenient) {}

std::vector<AnswerSearch::Event> AnswerSearch::feed(std::span<const std::uint8_t> data) {
    if (answered()) return {};
    return sort(reader_.feed(data));
}

std::vector<AnswerSearch::Event> AnswerSearch::finish() {
    if (answered()) return {};
    return sort(reader_.finish());
}

std::vector<AnswerSearch::Event> AnswerSearch::sort(std::vector<Received> received) {
    std::vector<Event> events;
    events.reserve(received.size());
    for (auto& r : received) {
        if (answered()) break;
        Seen seen = Seen::Junk;
        if (r.kind == Received::Kind::Frame || (r.kind == Received::Kind::BadChecksum && lenient_)) {
            const bool ours = r.frame.channel == channel_ && r.frame.code == code_;
            seen = ours || lenient_ ? Seen::Answer : Seen::Stray;
        } else if (r.kind == Received::Kind::BadChecksum) {
            seen = Seen::BadChecksum;
        }
        if (seen == Seen::Answer) answer_ = r;
        if (seen == Seen::Stray) stray_ = r;
        if (seen == Seen::BadChecksum) bad_checksum_ = r;
        events.push_back({seen, std::move(r)});
    }
    return events;
}

std::string describe(std::uint8_t channel, std::uint16_t code) {
    return command_name(code) + " on channel " + std::to_string(channel);
}

std::string note(const AnswerSearch::Event& event) {
    const Frame& f = event.received.frame;
    switch (event.seen) {
    case AnswerSearch::Seen::Junk: return "not a frame, skipped";
    case AnswerSearch::Seen::BadChecksum: return "bad checksum";
    case AnswerSearch::Seen::Stray: return "answers " + describe(f.channel, f.code) + ", not this request: dropped";
    case AnswerSearch::Seen::Answer: return command_name(f.code) + " answer";
    }
    return "";
}

}  // namespace kq2741::protocol
