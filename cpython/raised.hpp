// The exception now raised, taken out of the error indicator and put back,
// the same way on every supported CPython (3.12 made it one object).
#pragma once

#include "cpython/ref.hpp"

namespace kq2741::cpython {

// The exception itself, normalised, with its traceback attached to it.
inline Ref take_raised() noexcept {
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

inline void raise_again(Ref exception) noexcept {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

}  // namespace kq2741::cpython
