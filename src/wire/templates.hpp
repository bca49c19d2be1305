// The eight request frames the class stores as lists, built from the wire
// format when the class is made.
#pragma once

#include "core/names.hpp"
#include "core/ref.hpp"

namespace kq {

// A new list holding the stored bytes of `which`.
Ref template_list(Template which) noexcept;

}  // namespace kq
