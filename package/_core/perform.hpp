// One operation on an Attenuator, from its line to the package's exception.
// A lost line is opened again first when the Attenuator reconnects, and a
// line that fails before the request went out is opened again and the
// operation tried once more; nothing is ever sent twice. The frames are
// logged at DEBUG once the operation is over, however it ended.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "attenuator.hpp"

namespace kq2741::package {

// What crossed the line, kept only while the logger shows DEBUG.
class Transcript final : public protocol::Witness {
public:
    struct Entry {
        const char* direction;  // "tx", "rx", or "--" for input dropped before a request
        protocol::Bytes bytes;
        std::string note;
    };
    void sent(std::span<const std::uint8_t> frame, std::string_view note) override;
    void dropped(std::span<const std::uint8_t> bytes, std::string_view note) override;
    void received(std::span<const std::uint8_t> bytes, std::string_view note) override;

    std::vector<Entry> entries;
};

class Attempt {
public:
    // The caller holds the Attenuator's turn.
    explicit Attempt(AttenuatorObject* att);
    ~Attempt();
    Attempt(const Attempt&) = delete;
    Attempt& operator=(const Attempt&) = delete;

    // False with an exception set: the Attenuator is not open, or a lost
    // line could not be opened again.
    bool ready();
    protocol::Operations operations();
    // Sets the exception the failure calls for; true when the operation is
    // to be tried once more on a line opened afresh.
    bool retry_after(const protocol::Failure& failure);

private:
    AttenuatorObject* att_;
    Transcript transcript_;
    bool asked_logger_ = false;
    bool logging_ = false;
    bool retried_ = false;
};

template <class T, class F>
std::optional<T> perform(AttenuatorObject* att, F&& operation) {
    Attempt attempt(att);
    for (;;) {
        if (!attempt.ready()) return std::nullopt;
        protocol::Operations ops = attempt.operations();
        auto outcome = operation(ops);
        if (outcome) return std::move(*outcome);
        if (!attempt.retry_after(outcome.failure())) return std::nullopt;
    }
}

// Gives up the line (and the claim on the port); the Attenuator stays open
// and, if it reconnects, the next call opens the line again. False with an
// exception set when the serial library's close failed.
bool drop_line(AttenuatorObject* att);

}  // namespace kq2741::package
