#include "core/python_ops.hpp"
#include "cpython/raised.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace kq2741::driver {

Ref get_attr(Borrowed obj, Borrowed name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

namespace {
constexpr size_t kMaxArgs = 8;
}

Ref call_method(Borrowed obj, Borrowed name, std::initializer_list<Borrowed> args) noexcept {
    std::array<PyObject*, kMaxArgs> stack{};
    stack[0] = obj;
    size_t n = 1;
    for (Borrowed a : args) stack[n++] = a;
    return Ref::steal(PyObject_VectorcallMethod(name, stack.data(), n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_object(Borrowed callable, std::span<const Borrowed> args, Borrowed kwnames) noexcept {
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    std::array<PyObject*, kMaxArgs + 1> stack{};
    size_t n = 0;
    for (Borrowed a : args.first(std::min(args.size(), kMaxArgs))) stack[1 + n++] = a;
    size_t npos = n - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Ref::steal(PyObject_Vectorcall(callable, stack.data() + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref load_global(const Call& call, Borrowed name) noexcept {
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(call.module), name);
    if (!found && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        found = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
        if (!found && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(found);
}

Ref load_global_attr(const Call& call, Borrowed global, Borrowed name, Ref* global_out) noexcept {
    Ref module = load_global(call, global);
    if (!module) return {};
    Ref attribute = get_attr(module.get(), name);
    if (global_out) *global_out = std::move(module);
    return attribute;
}

bool print_line(const Call& call, Borrowed text) noexcept {
    Ref print = load_global(call, call.st.python.print);
    return print && call_object(print.get(), {text});
}

bool store_item(Borrowed seq, Py_ssize_t index, Borrowed value) noexcept {
    if (PyList_CheckExact(seq) && index >= 0 && index < PyList_GET_SIZE(seq)) {
        PyObject* old = PyList_GET_ITEM(seq, index);
        PyList_SET_ITEM(seq, index, Py_NewRef(value));
        Py_DECREF(old);
        return true;
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key && PyObject_SetItem(seq, key.get(), value) == 0;
}

// --- integer arithmetic ---

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

// --- exceptions ---

void CaughtError::fetch() noexcept { exception_ = cpython::take_raised(); }

void CaughtError::restore() noexcept { cpython::raise_again(std::move(exception_)); }

void CaughtError::chain_into_current() noexcept {
    Ref current = cpython::take_raised();
    if (current && exception_ && current.get() != exception_.get())
        PyException_SetContext(current.get(), exception_.release());  // steals
    exception_ = Ref();
    cpython::raise_again(std::move(current));
}

}  // namespace kq2741::driver
