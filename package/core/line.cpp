#include "line.hpp"

#include <algorithm>

namespace kqctl {

bool Line::exchange(std::span<const std::uint8_t> request, protocol::AnswerSearch& search, Clock::duration timeout,
                    Transcript* transcript, protocol::Bytes& incomplete) {
    if (owed_) {
        // Wait out the late answer before asking anything new, until one
        // more time-out has passed since the unanswered request gave up; an
        // answer that never comes is then forgotten.
        protocol::AnswerSearch late(owed_->request);
        const auto until = owed_->until;
        owed_.reset();
        if (Clock::now() < until && !listen(late, until, transcript)) return false;
    }
    if (!drop_waiting(transcript)) return false;
    const auto deadline = Clock::now() + timeout;
    if (!send(request, deadline)) return false;
    if (transcript) transcript->sent(request);
    const Owed unanswered{protocol::Bytes(request.begin(), request.end()), deadline + timeout};
    if (!listen(search, deadline, transcript)) {
        // Interrupted (Ctrl-C): the answer is on its way all the same.
        if (!search.answered()) owed_ = unanswered;
        return false;
    }
    if (search.answered()) return true;
    incomplete = search.pending();
    auto events = search.finish();
    if (transcript) transcript->saw(events);
    if (!search.bad_checksum()) owed_ = unanswered;
    return true;
}

bool Line::took(protocol::AnswerSearch& search, std::span<const std::uint8_t> bytes, Clock::time_point& deadline,
                Transcript* transcript) {
    const bool settling = search.bad_checksum().has_value();
    auto events = search.feed(bytes);
    if (transcript) transcript->saw(events);
    if (search.answered()) return true;
    if (!settling && search.bad_checksum())
        deadline = std::min(deadline, Clock::now() + protocol::kSettleAfterBadFrame);
    return false;
}

}  // namespace kqctl
