// The eight request frames the class stores as lists, and the bytes of them
// the operations patch in place before sending.
#pragma once

#include "core/names.hpp"
#include "core/ref.hpp"
#include "protocol/frame.hpp"

namespace kq {

namespace protocol = kq2741::protocol;

// Where the operations write into a template.
inline constexpr Py_ssize_t kChannelByte = protocol::kChannelAt;
inline constexpr Py_ssize_t kPayloadByte = protocol::kPayloadAt;  // a 16-bit value's low byte

// A new list holding the stored bytes of `which`.
Ref template_list(Template which) noexcept;

}  // namespace kq
