// The objects that stand for the class's methods. They behave like the
// functions of a compiled Python module: they bind to an instance as a
// bound method, carry __name__, __qualname__, __doc__, __module__,
// __defaults__, __annotations__ and a __code__ that inspect.signature reads,
// and are called through vectorcall with the argument rules of the table.
#pragma once

#include "surface/method_table.hpp"

namespace kq {

extern PyType_Spec kMethodTypeSpec;

// A new method object for `spec`, belonging to `module`, whose globals and
// state its calls use.
Ref new_method_object(Borrowed module, const MethodSpec& spec) noexcept;

}  // namespace kq
