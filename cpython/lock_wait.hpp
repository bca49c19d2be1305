// Waiting for a lock that a thread holding the GIL may need to finish with:
// CPython's own lock code tries without blocking first, then waits with the
// GIL released. A signal wakes the wait, its Python handler runs at once, and
// an exception it raises (KeyboardInterrupt) gives the wait up.
#pragma once

#include "cpython/ref.hpp"

#include <pythread.h>

namespace kq2741::cpython {

// True once `lock` is held; false with the handler's exception set.
inline bool wait_for_lock(PyThread_type_lock lock) noexcept {
    if (PyThread_acquire_lock(lock, NOWAIT_LOCK)) return true;
    for (;;) {
        PyLockStatus status;
        Py_BEGIN_ALLOW_THREADS
        status = PyThread_acquire_lock_timed(lock, -1, /*intr_flag=*/1);
        Py_END_ALLOW_THREADS
        if (status == PY_LOCK_ACQUIRED) return true;
        if (PyErr_CheckSignals() < 0) return false;
    }
}

}  // namespace kq2741::cpython
