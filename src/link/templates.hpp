// The eight request frames the instrument understands, stored on the class
// as lists and patched in place by the operations that use them.
#pragma once

#include "core/names.hpp"
#include "core/ref.hpp"

namespace kq {

// A new list holding the template's bytes.
Ref template_list(Cmd cmd) noexcept;

}  // namespace kq
