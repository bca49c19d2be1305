// Owning handle for a Python object reference, shared by both extension
// modules (the kq2741 driver and the kq2741ctl package's core).
//
// Functions return `Ref` when they hand out a new reference (null with a
// Python exception set on failure) and `Borrowed` when the caller gets a
// pointer it must not release.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kq2741::cpython {

using Borrowed = PyObject*;

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (which may be null after a failed call).
    static Ref steal(PyObject* obj) noexcept {
        Ref ref;
        ref.obj_ = obj;
        return ref;
    }
    static Ref borrow(Borrowed obj) noexcept {
        Py_XINCREF(obj);
        return steal(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace kq2741::cpython
