// The eight request frames the class stores as lists, built from the wire
// format when the class is made.
#pragma once

#include "core/names.hpp"
#include "cpython/ref.hpp"

namespace kq2741::driver {

using cpython::Borrowed;
using cpython::Ref;

// A new list holding the stored bytes of `which`.
Ref template_list(Template which) noexcept;

}  // namespace kq2741::driver
