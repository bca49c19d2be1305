// The Python operations the driver performs on objects it does not own (the
// connection, the templates, the module globals, the arguments), written once
// so each behaves exactly as the equivalent line of Python would: lookups,
// calls, item stores, integer arithmetic, and an `except` block's exception.
//
// Byte values and step counts are small ints, so the arithmetic first tries
// plain machine arithmetic and falls back to the number protocol for anything
// else (big ints, or whatever object a test double hands in).
#pragma once

#include <initializer_list>
#include <limits>
#include <span>

#include "core/call.hpp"

namespace kq2741::driver {

// --- lookups and calls ---

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

// global.name, as the module's code writes `serial.Serial`: the global looked
// up now, then its attribute. `global_out`, when given, keeps the global for
// the caller's further uses of it (`subprocess.PIPE`).
Ref load_global_attr(const Call& call, Borrowed global, Borrowed name, Ref* global_out = nullptr) noexcept;

// print(text), with whatever `print` is at the time.
bool print_line(const Call& call, Borrowed text) noexcept;

// seq[index] = value
bool store_item(Borrowed seq, Py_ssize_t index, Borrowed value) noexcept;

// --- integer arithmetic ---

// True and the value when `obj` is an exact int that fits a long.
inline bool small_int(Borrowed obj, long& value) noexcept {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    value = PyLong_AsLongAndOverflow(obj, &overflow);
    return overflow == 0;
}

// a + b into `sum` when it fits a long. Written out rather than with a
// compiler builtin so that every compiler CPython extensions are built with
// takes it, whatever the width of long (32 bits on Windows).
inline bool sum_fits(long a, long b, long& sum) noexcept {
    constexpr long kMax = std::numeric_limits<long>::max();
    constexpr long kMin = std::numeric_limits<long>::min();
    if ((b > 0 && a > kMax - b) || (b < 0 && a < kMin - b)) return false;
    sum = a + b;
    return true;
}

Ref add(Borrowed a, Borrowed b) noexcept;           // a + b
Ref shift_left(Borrowed a, long bits) noexcept;     // a << bits
Ref shift_right(Borrowed a, long bits) noexcept;    // a >> bits
Ref mask(Borrowed a, long bits) noexcept;           // a & bits
Ref multiply(Borrowed a, long factor) noexcept;     // a * factor
Ref invert(Borrowed a) noexcept;                    // ~a
Ref add_long(Borrowed a, long b) noexcept;          // a + b
Ref truncated_quotient(Borrowed a, long divisor) noexcept;  // int(a / divisor), divisor > 0

// --- exceptions ---

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

}  // namespace kq2741::driver
