// Integer arithmetic on Python objects with the semantics of Python's
// operators. Byte values and step counts are small ints, so each operation
// first tries plain machine arithmetic and falls back to the number protocol
// for anything else (big ints, or whatever object a test double hands in).
#pragma once

#include <limits>

#include "core/ref.hpp"

namespace kq {

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

}  // namespace kq
