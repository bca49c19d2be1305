// The demonstration run when the module executes as the main program.
#pragma once

#include "cpython/ref.hpp"

namespace kq2741::driver {

using cpython::Borrowed;
using cpython::Ref;

// Runs the demonstration in `module`'s globals; -1 with an exception set if
// it ended with one.
int run_demonstration(Borrowed module) noexcept;

}  // namespace kq2741::driver
