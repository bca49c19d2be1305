// One call of a driver method: the module it belongs to and its arguments,
// parsed and with defaults filled in. args[0] is the driver object.
#pragma once

#include "core/state.hpp"

namespace kq {

struct Call {
    ModuleState& st;
    Borrowed module;
    PyObject* const* args;

    Borrowed self() const noexcept { return args[0]; }
    Borrowed arg(int i) const noexcept { return args[i]; }
    const Names& names() const noexcept { return st.names; }
};

}  // namespace kq
