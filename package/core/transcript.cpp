#include "line.hpp"

namespace kqctl {

void Transcript::sent(std::span<const std::uint8_t> request) {
    entries.push_back({"tx", protocol::Bytes(request.begin(), request.end()),
                       protocol::describe(request[protocol::kChannelAt], protocol::code_of(request))});
}

void Transcript::dropped(std::span<const std::uint8_t> stale) {
    entries.push_back({"--", protocol::Bytes(stale.begin(), stale.end()), "waiting before the request, dropped"});
}

void Transcript::saw(const std::vector<protocol::AnswerSearch::Event>& events) {
    for (const auto& e : events) entries.push_back({"rx", e.received.raw, protocol::note(e)});
}

}  // namespace kqctl
