#include "core/pyops.hpp"

#include <algorithm>
#include <array>

namespace kq {

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

// The exception itself, normalised, with its traceback attached to it.
namespace {

Ref take_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

void raise_again(Ref exception) noexcept {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

}  // namespace

void CaughtError::fetch() noexcept { exception_ = take_raised(); }

void CaughtError::restore() noexcept { raise_again(std::move(exception_)); }

void CaughtError::chain_into_current() noexcept {
    Ref current = take_raised();
    if (current && exception_ && current.get() != exception_.get())
        PyException_SetContext(current.get(), exception_.release());  // steals
    exception_ = Ref();
    raise_again(std::move(current));
}

}  // namespace kq
