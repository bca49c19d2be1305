#include "model/outbox.hpp"

#include <algorithm>

namespace kq2741::model {

void Outbox::push(protocol::Bytes data, Clock::time_point due, std::string note) {
    if (!chunks_.empty()) due = std::max(due, chunks_.back().due);
    chunks_.push_back({std::move(data), due, std::move(note)});
}

bool Outbox::head_due(Clock::time_point now) const {
    return !chunks_.empty() && chunks_.front().due <= now;
}

int Outbox::timeout_ms(Clock::time_point now) const {
    if (chunks_.empty()) return -1;
    auto left = chunks_.front().due - now;
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, 60000));
}

}  // namespace kq2741::model
