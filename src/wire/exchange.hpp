// One request/response exchange with the instrument over the object's `ser`.
#pragma once

#include "core/call.hpp"

namespace kq {

// The object's template for `which`, looked up through the object.
Ref command_template(const Call& call, Template which) noexcept;

// Whether the exchange recomputes the frame's checksum before sending: a
// template the operation has patched needs it, one sent as stored does not.
enum class Checksum { AsStored, Recompute };

// Sends `frame` and returns what arrived within the fixed wait (the result of
// __read: bytes, or None).
Ref exchange(const Call& call, Borrowed frame, Checksum checksum) noexcept;

// Body of __read: every byte waiting on `ser`, or None when none is.
Ref read_waiting(const Call& call) noexcept;

}  // namespace kq
