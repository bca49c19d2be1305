// The few Python operations the driver performs on objects it does not own
// (the connection, the templates, the module globals), written once so each
// behaves exactly as the equivalent line of Python would.
#pragma once

#include <initializer_list>

#include "core/call.hpp"

namespace kq {

Ref get_attr(Borrowed obj, Borrowed name) noexcept;

// obj.name(*args), resolving `name` on the object at call time.
Ref call_method(Borrowed obj, Borrowed name, std::initializer_list<Borrowed> args = {}) noexcept;

// callable(*args, **dict(zip(kwnames, trailing args))).
Ref call_object(Borrowed callable, std::initializer_list<Borrowed> args, Borrowed kwnames = nullptr) noexcept;

// A name used by the module's code: its globals first, then the builtins.
Ref load_global(const Call& call, Borrowed name) noexcept;

// print(text), with whatever `print` is at the time.
bool print_line(const Call& call, Borrowed text) noexcept;

// seq[index] = value
bool store_item(Borrowed seq, Py_ssize_t index, Borrowed value) noexcept;

// Restores `saved` as the context of the exception now being raised, as an
// exception raised inside an `except` block gets it.
struct SavedError {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;

    void fetch() noexcept;                 // takes the current exception
    void restore() noexcept;               // raises it again
    void chain_into_current() noexcept;    // becomes __context__ of the current one
    ~SavedError();
};

}  // namespace kq
