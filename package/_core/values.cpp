#include "values.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "protocol/units.hpp"

namespace kq2741::package {
namespace {

namespace protocol = kq2741::protocol;

constexpr Py_ssize_t kShownLength = 60;

constexpr const char* kNotANumber = "is not a number";
constexpr const char* kInfinite = "is infinite";
constexpr const char* kNegative = "is negative: the instrument sets 0 to " KQ2741_MAX_DB_TEXT " dB";
constexpr const char* kAbove = "is above " KQ2741_MAX_DB_TEXT " dB, the most the instrument sets";
constexpr const char* kBetween = "lies between two " KQ2741_STEP_DB_TEXT " dB steps: the instrument sets whole steps";

bool refuse(Borrowed value, const char* why) {
    Ref text = shown(value);
    if (!text) return false;
    PyErr_Format(PyExc_ValueError, "attenuation %U dB %s", text.get(), why);
    return false;
}

bool not_a_number(Borrowed value) {
    PyErr_Format(PyExc_TypeError, "attenuation must be a real number of dB (int, float, Decimal, Fraction), not %s",
                 Py_TYPE(value)->tp_name);
    return false;
}

bool from_float(Borrowed value, double db, bool nearest, std::uint16_t& steps) {
    const auto reading = protocol::steps_of_float(db, nearest);
    switch (reading.verdict) {
    case protocol::FloatSteps::Steps: steps = reading.steps; return true;
    case protocol::FloatSteps::NotANumber: return refuse(value, kNotANumber);
    case protocol::FloatSteps::Infinite: return refuse(value, kInfinite);
    case protocol::FloatSteps::Negative: return refuse(value, kNegative);
    case protocol::FloatSteps::Above: return refuse(value, kAbove);
    case protocol::FloatSteps::Between: return refuse(value, kBetween);
    }
    return refuse(value, kBetween);
}

// numerator / denominator dB, both exact ints (denominator > 0), in Python
// ints of any size: no fixed-width arithmetic, no user code.
bool from_ratio(Borrowed value, Borrowed numerator, Borrowed denominator, bool nearest, std::uint16_t& steps) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    const int negative = PyObject_RichCompareBool(numerator, zero.get(), Py_LT);
    if (negative < 0) return false;
    if (negative) return refuse(value, kNegative);
    Ref per_db = Ref::steal(PyLong_FromUnsignedLong(protocol::kStepsPerDb));
    if (!per_db) return false;
    Ref scaled = Ref::steal(PyNumber_Multiply(numerator, per_db.get()));
    if (!scaled) return false;
    // Above the range is found by a product, so the division below always
    // has a small quotient, however long the numbers.
    Ref beyond = Ref::steal(PyLong_FromUnsignedLong(protocol::kMaxSteps + 1));
    if (!beyond) return false;
    Ref limit = Ref::steal(PyNumber_Multiply(denominator, beyond.get()));
    if (!limit) return false;
    const int far_above = PyObject_RichCompareBool(scaled.get(), limit.get(), Py_GE);
    if (far_above < 0) return false;
    if (far_above) return refuse(value, kAbove);
    Ref parts = Ref::steal(PyNumber_Divmod(scaled.get(), denominator));
    if (!parts) return false;
    long whole = PyLong_AsLong(PyTuple_GET_ITEM(parts.get(), 0));
    if (whole == -1 && PyErr_Occurred()) return false;
    Borrowed rest = PyTuple_GET_ITEM(parts.get(), 1);
    const int on_grid = PyObject_RichCompareBool(rest, zero.get(), Py_EQ);
    if (on_grid < 0) return false;
    if (!on_grid && nearest) {
        // Up when the rest is more than half the denominator, or exactly
        // half and the whole is odd (halves to even, as round() does).
        Ref twice = Ref::steal(PyNumber_Lshift(rest, Py_True));
        if (!twice) return false;
        const int above_half = PyObject_RichCompareBool(twice.get(), denominator, Py_GT);
        if (above_half < 0) return false;
        const int half = PyObject_RichCompareBool(twice.get(), denominator, Py_EQ);
        if (half < 0) return false;
        if (above_half || (half && whole % 2 == 1)) ++whole;
    }
    if (whole > static_cast<long>(protocol::kMaxSteps) ||
        (!on_grid && !nearest && whole == static_cast<long>(protocol::kMaxSteps)))
        return refuse(value, kAbove);
    if (!on_grid && !nearest) return refuse(value, kBetween);
    steps = static_cast<std::uint16_t>(whole);
    return true;
}

// An integer's exact value, whatever its type says of itself: NumPy's
// uint8(3) * 100 would wrap around, an int subclass's operators may lie.
Ref exact_int(Borrowed value) {
    return Ref::steal(PyNumber_Index(value));
}

bool from_integer(Borrowed value, bool nearest, std::uint16_t& steps) {
    Ref n = exact_int(value);
    if (!n) return false;
    Ref one = Ref::steal(PyLong_FromLong(1));
    return one && from_ratio(value, n.get(), one.get(), nearest, steps);
}

// A Decimal is its sign, digits and exponent (Decimal.as_tuple, the base
// type's own, so a subclass's methods have no say): whole steps when the
// digits below a hundredth are zeros, read without building the number, so
// Decimal("1e100000000") costs nothing.
bool from_decimal(const State& st, Borrowed value, bool nearest, std::uint16_t& steps) {
    Ref parts = Ref::steal(PyObject_CallMethodOneArg(st.decimal_type, st.names.as_tuple, value));
    if (!parts) return false;
    if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 3) return not_a_number(value);
    Borrowed sign = PyTuple_GET_ITEM(parts.get(), 0);
    Borrowed digits = PyTuple_GET_ITEM(parts.get(), 1);
    Borrowed exponent = PyTuple_GET_ITEM(parts.get(), 2);
    if (PyUnicode_Check(exponent))  // 'n', 'N' (NaN) or 'F' (infinity)
        return refuse(value, PyUnicode_CompareWithASCIIString(exponent, "F") == 0 ? kInfinite : kNotANumber);
    if (!PyLong_CheckExact(sign) || !PyTuple_Check(digits) || !PyLong_CheckExact(exponent)) return not_a_number(value);
    const Py_ssize_t count = PyTuple_GET_SIZE(digits);
    // The digit that counts hundredths of a dB is at `hundredths` from the
    // left (negative: the number is below a hundredth).
    int overflow = 0;
    const long long e = PyLong_AsLongLongAndOverflow(exponent, &overflow);
    if (e == -1 && PyErr_Occurred()) return false;
    bool any = false;
    for (Py_ssize_t i = 0; i < count && !any; ++i) {
        const long d = PyLong_AsLong(PyTuple_GET_ITEM(digits, i));
        if (d == -1 && PyErr_Occurred()) return false;
        any = d != 0;
    }
    if (!any) {
        steps = 0;  // zero, with any exponent and either sign
        return true;
    }
    if (PyLong_AsLong(sign) != 0) return refuse(value, kNegative);
    // adjusted: the power of ten of the leading digit.
    const long long adjusted = overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : e + count - 1;
    if (overflow > 0 || adjusted > 2) return refuse(value, kAbove);
    // Digits up to the hundredths, and whether any below them is not zero.
    const long long kept = overflow < 0 ? -1 : static_cast<long long>(count) + e + 2;  // digits down to the hundredths
    std::uint64_t whole = 0;
    bool rest = false;
    int first_dropped = 0;
    bool after_first = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const long d = PyLong_AsLong(PyTuple_GET_ITEM(digits, i));
        if (d == -1 && PyErr_Occurred()) return false;
        if (d < 0 || d > 9) return not_a_number(value);
        if (i < kept) {
            whole = whole * 10 + static_cast<std::uint64_t>(d);
        } else if (i == kept) {
            first_dropped = static_cast<int>(d);
            rest = rest || d != 0;
        } else {
            after_first = after_first || d != 0;
            rest = rest || d != 0;
        }
    }
    for (long long i = count; i < kept; ++i) whole *= 10;  // zeros the exponent stands for
    if (kept < 0) first_dropped = 0;  // far below a hundredth: under half of one
    if (rest && nearest &&
        (first_dropped > 5 || (first_dropped == 5 && (after_first || whole % 2 == 1))))
        ++whole;
    if (whole > protocol::kMaxSteps || (rest && !nearest && whole == protocol::kMaxSteps))
        return refuse(value, kAbove);
    if (rest && !nearest) return refuse(value, kBetween);
    steps = static_cast<std::uint16_t>(whole);
    return true;
}

// Any other rational (Fraction, its subclasses, numbers.Rational): its
// numerator and denominator as exact ints.
bool from_rational(const State& st, Borrowed value, bool nearest, std::uint16_t& steps) {
    Ref numerator = Ref::steal(PyObject_GetAttr(value, st.names.numerator));
    if (!numerator) return false;
    Ref denominator = Ref::steal(PyObject_GetAttr(value, st.names.denominator));
    if (!denominator) return false;
    if (!PyIndex_Check(numerator.get()) || !PyIndex_Check(denominator.get()) || PyBool_Check(numerator.get()) ||
        PyBool_Check(denominator.get())) {
        PyErr_Format(PyExc_TypeError, "attenuation of type %s has a numerator or denominator that is not an integer",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    Ref num = exact_int(numerator.get());
    if (!num) return false;
    Ref den = exact_int(denominator.get());
    if (!den) return false;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    const int sign = PyObject_RichCompareBool(den.get(), zero.get(), Py_GT);
    if (sign < 0) return false;
    if (!sign) {
        const int is_zero = PyObject_RichCompareBool(den.get(), zero.get(), Py_EQ);
        if (is_zero < 0) return false;
        if (is_zero) return refuse(value, kNotANumber);
        num = Ref::steal(PyNumber_Negative(num.get()));
        if (!num) return false;
        den = Ref::steal(PyNumber_Negative(den.get()));
        if (!den) return false;
    }
    return from_ratio(value, num.get(), den.get(), nearest, steps);
}

// bool, and NumPy's, which older NumPy also lets pass as an index.
bool truth_value(Borrowed value) {
    if (PyBool_Check(value)) return true;
    const char* name = Py_TYPE(value)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

bool text(Borrowed value) {
    return PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value);
}

bool has_float(Borrowed value) {
    const PyNumberMethods* n = Py_TYPE(value)->tp_as_number;
    return PyFloat_Check(value) || (n && n->nb_float);
}

bool refuse_timeout(Borrowed value) {
    Ref text = shown(value);
    if (!text) return false;
    PyErr_Format(PyExc_ValueError, "timeout %U is not more than 0 and at most " KQ2741_MAX_TIMEOUT_TEXT " seconds",
                 text.get());
    return false;
}

}  // namespace

Ref shown(Borrowed value) {
    Ref repr = Ref::steal(PyObject_Repr(value));
    if (!repr) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();  // an int past the interpreter's digit limit, a repr that fails
        return Ref::steal(PyUnicode_FromFormat("<%s too long to show>", Py_TYPE(value)->tp_name));
    }
    if (PyUnicode_GET_LENGTH(repr.get()) <= kShownLength) return repr;
    Ref head = Ref::steal(PyUnicode_Substring(repr.get(), 0, kShownLength));
    if (!head) return {};
    return Ref::steal(PyUnicode_FromFormat("%U...", head.get()));
}

bool attenuation_steps(const State& st, Borrowed value, bool nearest, std::uint16_t& steps) {
    if (truth_value(value)) {
        PyErr_SetString(PyExc_TypeError, "attenuation must be a number of dB, not bool");
        return false;
    }
    if (text(value)) return not_a_number(value);
    if (PyLong_Check(value)) return from_integer(value, nearest, steps);
    if (PyFloat_Check(value)) return from_float(value, PyFloat_AS_DOUBLE(value), nearest, steps);
    const int decimal = PyObject_IsInstance(value, st.decimal_type);
    if (decimal < 0) return false;
    if (decimal) return from_decimal(st, value, nearest, steps);
    if (PyIndex_Check(value)) return from_integer(value, nearest, steps);  // NumPy integers
    const int rational = PyObject_IsInstance(value, st.rational_abc);
    if (rational < 0) return false;
    if (rational) return from_rational(st, value, nearest, steps);
    const int real = PyObject_IsInstance(value, st.real_abc);
    if (real < 0) return false;
    if (real && has_float(value)) {  // NumPy's float32, any other real number
        const double db = PyFloat_AsDouble(value);
        if (db == -1.0 && PyErr_Occurred()) return false;
        return from_float(value, db, nearest, steps);
    }
    return not_a_number(value);
}

bool channel_number(Borrowed value, std::uint8_t& number) {
    if (truth_value(value) || !PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "channel must be an int, not %s", Py_TYPE(value)->tp_name);
        return false;
    }
    Ref n = exact_int(value);
    if (!n) return false;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < 1 || v > 255) {
        Ref text = shown(n.get());
        if (text) PyErr_Format(PyExc_ValueError, "channel %U is not one of 1 to 255", text.get());
        return false;
    }
    number = static_cast<std::uint8_t>(v);
    return true;
}

bool wavelength_nm(Borrowed value, long& nm) {
    if (truth_value(value) || !PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "wavelength must be an int (nm), not %s", Py_TYPE(value)->tp_name);
        return false;
    }
    Ref n = exact_int(value);
    if (!n) return false;
    int overflow = 0;
    nm = PyLong_AsLongAndOverflow(n.get(), &overflow);
    if (nm == -1 && PyErr_Occurred()) return false;
    if (overflow) nm = -1;  // no channel has it
    return true;
}

bool timeout_seconds(Borrowed value, double& seconds) {
    if (truth_value(value) || text(value) || !(PyIndex_Check(value) || has_float(value))) {
        PyErr_Format(PyExc_TypeError, "timeout must be a number of seconds, not %s", Py_TYPE(value)->tp_name);
        return false;
    }
    if (PyIndex_Check(value) && !PyFloat_Check(value)) {
        Ref n = exact_int(value);
        if (!n) return false;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow || v <= 0 || v > static_cast<long long>(protocol::kMaxTimeoutSeconds)) return refuse_timeout(value);
        seconds = static_cast<double>(v);
        return true;
    }
    seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        // Too large for a float (Fraction(10**400)): above the limit all the same.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return refuse_timeout(value);
    }
    if (!std::isfinite(seconds) || seconds <= 0 || seconds > protocol::kMaxTimeoutSeconds) return refuse_timeout(value);
    return true;
}

}  // namespace kq2741::package
