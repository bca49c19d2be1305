// One operation at a time on an Attenuator: its lock, taken for a whole
// operation (both exchanges of a wavelength selection). Waiting for it
// releases the GIL, which its holder needs to finish, and a signal handler's
// exception (Ctrl-C) ends the wait.
#pragma once

#include "core/ref.hpp"

#include <pythread.h>

namespace kqctl {

class Turn {
public:
    // Check it with operator bool: false with an exception set when the
    // wait was given up (KeyboardInterrupt).
    explicit Turn(PyThread_type_lock lock) noexcept : lock_(take(lock) ? lock : nullptr) {}
    ~Turn() {
        if (lock_) PyThread_release_lock(lock_);
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    explicit operator bool() const noexcept { return lock_ != nullptr; }

private:
    static bool take(PyThread_type_lock lock) noexcept {
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

    PyThread_type_lock lock_;
};

}  // namespace kqctl
