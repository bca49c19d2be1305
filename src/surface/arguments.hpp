// Argument acceptance for the class's methods, as compiled Python reports it:
// positional or keyword, exact types, defaults from the method table.
#pragma once

#include "surface/method_table.hpp"

namespace kq {

// Fills `out` (one slot per parameter, borrowed references) from a vectorcall.
// `param_names` holds the parameters' interned names, which keywords are
// matched against by identity first; `defaults` holds the values of the
// trailing parameters that have one. Returns false with TypeError set when
// the call does not fit the method.
bool parse_arguments(const MethodSpec& spec, Borrowed param_names, Borrowed defaults, PyObject* const* args,
                     size_t nargsf, Borrowed kwnames, PyObject** out) noexcept;

}  // namespace kq
