// What the instrument sent back, seen as the list of byte values the
// operations read by position: `list(read_bytes)` when anything was read.
// A bytes answer (what the serial library returns) is read straight from its
// buffer; anything else a connection hands back is turned into a list first.
#pragma once

#include "core/call.hpp"
#include "protocol/frame.hpp"
#include "wire/exchange.hpp"

namespace kq {

class Answer {
public:
    // False with an exception set when the read result cannot become a list.
    bool load(Borrowed read_bytes) noexcept;

    Py_ssize_t size() const noexcept;                            // 0 when buf is None
    Ref item(Py_ssize_t index) const noexcept;                   // buf[index]
    int item_equals(Py_ssize_t index, long value) const noexcept;

    // buf and buf[0] == 0x7B and buf[-1] == 0x7D
    int framed() const noexcept;

private:
    Ref bytes_;
    Ref list_;
};

// Position in an answer of a field of its payload (protocol/answers.hpp).
constexpr Py_ssize_t payload_at(std::size_t field) noexcept {
    return static_cast<Py_ssize_t>(kq2741::protocol::kPayloadAt + field);
}

// One exchange of `frame` (see exchange()), what came back loaded into
// `answer`. False with an exception set on failure.
bool ask(const Call& call, Borrowed frame, Checksum checksum, Answer& answer) noexcept;

// The exchange of every operation on one channel: the call's channel into
// the frame's channel byte, then ask() with the checksum recomputed.
bool ask_on_channel(const Call& call, Borrowed frame, Answer& answer) noexcept;

// The query `which` on the call's channel: 1 when its answer came back
// framed, 0 when it did not (the query gives None), -1 with an exception set.
int query_channel(const Call& call, Template which, Answer& answer) noexcept;

// The answer's truth value for the operations that report success.
Ref framed_result(const Answer& answer) noexcept;

}  // namespace kq
