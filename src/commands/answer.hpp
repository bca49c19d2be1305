// What the instrument sent back, seen as the list of byte values the
// operations read by position: `list(read_bytes)` when anything was read.
// A bytes answer (what the serial library returns) is read straight from its
// buffer; anything else a connection hands back is turned into a list first.
#pragma once

#include "core/call.hpp"

namespace kq {

class Answer {
public:
    // False with an exception set when the read result cannot become a list.
    bool load(Borrowed read_bytes) noexcept;

    bool present() const noexcept { return bytes_ || list_; }   // buf is not None
    Py_ssize_t size() const noexcept;
    Ref item(Py_ssize_t index) const noexcept;                   // buf[index]
    int item_equals(Py_ssize_t index, long value) const noexcept;

    // buf and buf[0] == 0x7B and buf[-1] == 0x7D
    int framed() const noexcept;
    // buf[0] == 0x7B and buf[-1] == 0x7D, for a buf known to be present
    int framed_present() const noexcept;

private:
    Ref bytes_;
    Ref list_;
};

inline constexpr long kFrameStart = 0x7B;
inline constexpr long kFrameEnd = 0x7D;

// One exchange of `frame` (see exchange()), what came back loaded into
// `answer`. False with an exception set on failure.
bool ask(const Call& call, Borrowed frame, bool fill_checksum, Answer& answer) noexcept;

// The answer's truth value for the operations that report success.
Ref framed_result(const Answer& answer) noexcept;

}  // namespace kq
