// The demonstration run when the module executes as the main program.
#pragma once

#include "core/ref.hpp"

namespace kq {

// Runs the demonstration in `module`'s globals; -1 with an exception set if
// it ended with one.
int run_demonstration(Borrowed module) noexcept;

}  // namespace kq
