// What inspect.signature, help() and the argument parser read of a method,
// built from its row of the method table.
#pragma once

#include "core/state.hpp"
#include "surface/method_table.hpp"

namespace kq2741::driver {

// The parameters' interned names, the object first: co_varnames, and what
// keywords are matched against.
Ref parameter_names(const MethodSpec& spec) noexcept;

// {parameter: type, ..., "return": result}, for the typed parameters and a
// declared result.
Ref annotations(const MethodSpec& spec) noexcept;

// The defaults of the trailing parameters that have one; null (and no
// exception) when none has.
Ref defaults(const MethodSpec& spec) noexcept;

// An empty code object whose argument count and names describe the method,
// which is what inspect.signature reads from a function.
Ref code_object(const MethodSpec& spec, Borrowed qualname, Borrowed param_names, const ModuleState& st) noexcept;

}  // namespace kq2741::driver
