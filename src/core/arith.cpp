#include "core/arith.hpp"

#include <cmath>

namespace kq {

namespace {

// Applies `op` through the number protocol with a Python int as right operand.
Ref with_long(Borrowed a, long b, PyObject* (*op)(PyObject*, PyObject*)) noexcept {
    Ref rhs = Ref::steal(PyLong_FromLong(b));
    if (!rhs) return {};
    return Ref::steal(op(a, rhs.get()));
}

// Values this small shift left by up to 15 bits without overflowing a long.
constexpr long kShiftableMagnitude = std::numeric_limits<long>::max() >> 16;

}  // namespace

Ref add(Borrowed a, Borrowed b) noexcept {
    long x, y, sum;
    if (small_int(a, x) && small_int(b, y) && sum_fits(x, y, sum))
        return Ref::steal(PyLong_FromLong(sum));
    return Ref::steal(PyNumber_Add(a, b));
}

Ref add_long(Borrowed a, long b) noexcept {
    long x, sum;
    if (small_int(a, x) && sum_fits(x, b, sum)) return Ref::steal(PyLong_FromLong(sum));
    return with_long(a, b, PyNumber_Add);
}

Ref shift_left(Borrowed a, long bits) noexcept {
    long x;
    if (small_int(a, x) && x > -kShiftableMagnitude && x < kShiftableMagnitude && bits >= 0 && bits < 16)
        return Ref::steal(PyLong_FromLong(x * (1L << bits)));
    return with_long(a, bits, PyNumber_Lshift);
}

Ref shift_right(Borrowed a, long bits) noexcept {
    long x;
    if (small_int(a, x) && bits >= 0 && bits < std::numeric_limits<long>::digits) return Ref::steal(PyLong_FromLong(x >> bits));
    return with_long(a, bits, PyNumber_Rshift);
}

Ref mask(Borrowed a, long bits) noexcept {
    long x;
    if (small_int(a, x)) return Ref::steal(PyLong_FromLong(x & bits));
    return with_long(a, bits, PyNumber_And);
}

Ref multiply(Borrowed a, long factor) noexcept {
    long x;
    constexpr long kMax = std::numeric_limits<long>::max();
    if (small_int(a, x) && factor > 0 && x <= kMax / factor && x >= -(kMax / factor))
        return Ref::steal(PyLong_FromLong(x * factor));
    return with_long(a, factor, PyNumber_Multiply);
}

Ref invert(Borrowed a) noexcept {
    long x;
    if (small_int(a, x)) return Ref::steal(PyLong_FromLong(~x));
    return Ref::steal(PyNumber_Invert(a));
}

Ref truncated_quotient(Borrowed a, long divisor) noexcept {
    // Python divides two ints that fit a double's mantissa as doubles, then
    // int() truncates toward zero; bigger values go the long way round.
    long x;
    constexpr long long kExactInDouble = 1LL << 53;
    if (small_int(a, x) && x > -kExactInDouble && x < kExactInDouble)
        return Ref::steal(PyLong_FromDouble(std::trunc(static_cast<double>(x) / static_cast<double>(divisor))));
    Ref quotient = with_long(a, divisor, PyNumber_TrueDivide);
    if (!quotient) return {};
    return Ref::steal(PyNumber_Long(quotient.get()));
}

}  // namespace kq
