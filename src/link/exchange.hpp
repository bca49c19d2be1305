// One request/response exchange with the instrument over the object's `ser`.
#pragma once

#include "core/call.hpp"

namespace kq {

// The object's template for `cmd`, looked up through the object.
Ref command_template(const Call& call, Cmd cmd) noexcept;

// Sends `frame` and returns what arrived within the fixed wait (the result of
// __read: bytes, or None). With `fill_checksum` the frame's checksum is
// recomputed first, after the caller has patched its fields.
Ref exchange(const Call& call, Borrowed frame, bool fill_checksum) noexcept;

// Body of __read: every byte waiting on `ser`, or None when none is.
Ref read_waiting(const Call& call) noexcept;

}  // namespace kq
