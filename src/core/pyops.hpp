// The few Python operations the driver performs on objects it does not own
// (the connection, the templates, the module globals), written once so each
// behaves exactly as the equivalent line of Python would.
#pragma once

#include <initializer_list>
#include <span>

#include "core/call.hpp"

namespace kq {

Ref get_attr(Borrowed obj, Borrowed name) noexcept;

// obj.name(*args), resolving `name` on the object at call time.
Ref call_method(Borrowed obj, Borrowed name, std::initializer_list<Borrowed> args = {}) noexcept;

// callable(*args, **dict(zip(kwnames, trailing args))).
Ref call_object(Borrowed callable, std::span<const Borrowed> args, Borrowed kwnames = nullptr) noexcept;
inline Ref call_object(Borrowed callable, std::initializer_list<Borrowed> args, Borrowed kwnames = nullptr) noexcept {
    return call_object(callable, std::span<const Borrowed>(args.begin(), args.size()), kwnames);
}

// A name used by the module's code: its globals first, then the builtins.
Ref load_global(const Call& call, Borrowed name) noexcept;

// print(text), with whatever `print` is at the time.
bool print_line(const Call& call, Borrowed text) noexcept;

// seq[index] = value
bool store_item(Borrowed seq, Py_ssize_t index, Borrowed value) noexcept;

// The exception an `except` block is handling: taken out of the error
// indicator so that the block's own calls can run, then either raised again
// or, when the block itself fails, made the __context__ of its new error.
class CaughtError {
public:
    void fetch() noexcept;                        // takes the exception now raised
    Borrowed get() const noexcept { return exception_.get(); }
    bool matches(Borrowed type) const noexcept { return PyErr_GivenExceptionMatches(exception_.get(), type); }
    void restore() noexcept;                      // raises it again
    void chain_into_current() noexcept;           // becomes the context of the exception now raised

private:
    Ref exception_;
};

}  // namespace kq
