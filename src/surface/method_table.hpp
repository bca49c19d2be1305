// The class's methods, declared once: names, parameters with what they are,
// their types and defaults, declared results, documentation, and whether the
// body holds the operation lock. The argument parser, the method objects'
// __annotations__, __defaults__ and __code__ (and so inspect.signature and
// help()) are all derived from this table.
#pragma once

#include <array>
#include <span>

#include "core/call.hpp"

namespace kq2741::driver {

enum class ArgType { Object, Str, Int, List };  // Object: the driver itself, untested
enum class Declared { Nothing, Bool, None };    // the method's return annotation
// Operation: the body runs holding the module's operation lock, because it
// touches a command template or the connection.
enum class Guard { None, Operation };

struct Param {
    Arg arg;           // what the method reads it as (core/call.hpp)
    const char* name;  // the parameter's name in Python
    ArgType type;
    bool has_default = false;
    long default_value = 0;
};

using MethodBody = Ref (*)(const Call&) noexcept;

struct MethodSpec {
    const char* name;                // as written in the class, before name mangling
    std::span<const Param> params;   // the object first
    Declared result;
    Guard guard;
    const char* doc;
    MethodBody body;

    Py_ssize_t required() const noexcept {
        Py_ssize_t n = 0;
        for (const Param& p : params) n += p.has_default ? 0 : 1;
        return n;
    }
};

inline constexpr size_t kMaxParams = 3;
inline constexpr size_t kMethodCount = 15;
extern const std::array<MethodSpec, kMethodCount> kMethods;

// The Python type a parameter must have exactly; null for the object itself.
PyTypeObject* python_type(ArgType type) noexcept;

}  // namespace kq2741::driver
