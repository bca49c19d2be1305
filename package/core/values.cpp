#include "values.hpp"

#include <cmath>

#include "protocol/units.hpp"

namespace kqctl {
namespace {

using kq2741::protocol::kMaxSteps;
using kq2741::protocol::kStepsPerDb;

constexpr double kMaxDb = static_cast<double>(kMaxSteps) / kStepsPerDb;

bool refuse(Borrowed value, const char* why) {
    PyErr_Format(PyExc_ValueError, "attenuation %R dB %s", value, why);
    return false;
}

constexpr const char* kNegative = "is negative: the instrument sets 0 to 655.35 dB";
constexpr const char* kAbove = "is above 655.35 dB, the most the instrument sets";
constexpr const char* kBetween = "lies between two 0.01 dB steps: the instrument sets whole steps";

// A binary float stands for the decimal a user typed: 0.29 is 29 steps
// although the float lies just below 0.29. It is on the grid when it is the
// float nearest to some whole number of hundredths.
bool steps_from_float(Borrowed value, double db, std::uint16_t& steps) {
    if (std::isnan(db)) return refuse(value, "is not a number");
    if (std::isinf(db)) return refuse(value, "is infinite");
    if (db < 0) return refuse(value, kNegative);
    if (db > kMaxDb) return refuse(value, kAbove);
    const double hundredths = std::round(db * kStepsPerDb);
    if (hundredths / kStepsPerDb != db) return refuse(value, kBetween);
    steps = static_cast<std::uint16_t>(hundredths);
    return true;
}

// numerator / denominator dB exactly, in Python ints of any size.
bool steps_from_ratio(Borrowed value, Borrowed numerator, Borrowed denominator, std::uint16_t& steps) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    const int negative = PyObject_RichCompareBool(numerator, zero.get(), Py_LT);
    if (negative < 0) return false;
    if (negative) return refuse(value, kNegative);
    Ref per_db = Ref::steal(PyLong_FromLong(kStepsPerDb));
    if (!per_db) return false;
    Ref scaled = Ref::steal(PyNumber_Multiply(numerator, per_db.get()));
    if (!scaled) return false;
    Ref parts = Ref::steal(PyNumber_Divmod(scaled.get(), denominator));
    if (!parts) return false;
    Borrowed whole = PyTuple_GET_ITEM(parts.get(), 0);
    Borrowed rest = PyTuple_GET_ITEM(parts.get(), 1);
    Ref most = Ref::steal(PyLong_FromLong(kMaxSteps));
    if (!most) return false;
    const int above = PyObject_RichCompareBool(whole, most.get(), Py_GT);
    if (above < 0) return false;
    const int on_grid = PyObject_RichCompareBool(rest, zero.get(), Py_EQ);
    if (on_grid < 0) return false;
    if (above || (!on_grid && PyObject_RichCompareBool(whole, most.get(), Py_EQ) == 1))
        return refuse(value, kAbove);
    if (!on_grid) return refuse(value, kBetween);
    steps = static_cast<std::uint16_t>(PyLong_AsLong(whole));
    return true;
}

bool steps_from_rational(const State& st, Borrowed value, std::uint16_t& steps) {
    Ref numerator = Ref::steal(PyObject_GetAttr(value, st.names.numerator));
    if (!numerator) return false;
    Ref denominator = Ref::steal(PyObject_GetAttr(value, st.names.denominator));
    if (!denominator) return false;
    return steps_from_ratio(value, numerator.get(), denominator.get(), steps);
}

}  // namespace

bool attenuation_steps(const State& st, Borrowed value, std::uint16_t& steps) {
    if (PyBool_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "attenuation must be a number of dB, not bool");
        return false;
    }
    if (PyLong_Check(value)) {
        Ref one = Ref::steal(PyLong_FromLong(1));
        return one && steps_from_ratio(value, value, one.get(), steps);
    }
    if (PyFloat_Check(value)) return steps_from_float(value, PyFloat_AS_DOUBLE(value), steps);
    const int decimal = PyObject_IsInstance(value, st.decimal_type);
    if (decimal < 0) return false;
    if (decimal) {
        Ref finite = Ref::steal(PyObject_CallMethodNoArgs(value, st.names.is_finite));
        if (!finite) return false;
        if (!PyObject_IsTrue(finite.get())) {
            Ref nan = Ref::steal(PyObject_CallMethodNoArgs(value, st.names.is_nan));
            if (!nan) return false;
            return refuse(value, PyObject_IsTrue(nan.get()) ? "is not a number" : "is infinite");
        }
        Ref ratio = Ref::steal(PyObject_CallMethodNoArgs(value, st.names.as_integer_ratio));
        if (!ratio) return false;
        return steps_from_ratio(value, PyTuple_GET_ITEM(ratio.get(), 0), PyTuple_GET_ITEM(ratio.get(), 1), steps);
    }
    const int rational = PyObject_IsInstance(value, st.rational_abc);
    if (rational < 0) return false;
    if (rational) return steps_from_rational(st, value, steps);
    const int real = PyObject_IsInstance(value, st.real_abc);
    if (real < 0) return false;
    if (real) {
        const double db = PyFloat_AsDouble(value);
        if (db == -1.0 && PyErr_Occurred()) return false;
        return steps_from_float(value, db, steps);
    }
    PyErr_Format(PyExc_TypeError, "attenuation must be a real number of dB (int, float, Decimal, Fraction), not %s",
                 Py_TYPE(value)->tp_name);
    return false;
}

bool channel_number(Borrowed value, std::uint8_t& number) {
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "channel must be an int, not %s", Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    const long n = PyLong_AsLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) return false;
    if (overflow || n < 1 || n > 255) {
        PyErr_Format(PyExc_ValueError, "channel %R is not one of 1 to 255", value);
        return false;
    }
    number = static_cast<std::uint8_t>(n);
    return true;
}

bool wavelength_nm(Borrowed value, long& nm) {
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "wavelength must be an int (nm), not %s", Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    nm = PyLong_AsLongAndOverflow(value, &overflow);
    if (nm == -1 && PyErr_Occurred()) return false;
    if (overflow) nm = -1;  // no channel has it
    return true;
}

bool timeout_seconds(Borrowed value, double& seconds) {
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        PyErr_Format(PyExc_TypeError, "timeout must be a number of seconds, not %s", Py_TYPE(value)->tp_name);
        return false;
    }
    seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    if (!std::isfinite(seconds) || seconds <= 0 || seconds > kMaxTimeout) {
        PyErr_Format(PyExc_ValueError, "timeout %R is not more than 0 and at most 3600 seconds", value);
        return false;
    }
    return true;
}

}  // namespace kqctl
