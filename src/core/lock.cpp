#include "core/lock.hpp"

namespace kq {

bool lock_init(OperationLock& lock) noexcept {
    lock.mutex = PyThread_allocate_lock();
    lock.owner = 0;
    lock.depth = 0;
    if (!lock.mutex) PyErr_NoMemory();
    return lock.mutex != nullptr;
}

void lock_free(OperationLock& lock) noexcept {
    // A daemon thread may still hold it while the interpreter shuts down;
    // the lock then outlives the module rather than being freed under it.
    if (lock.mutex && lock.depth == 0) PyThread_free_lock(lock.mutex);
    lock.mutex = nullptr;
}

bool lock_acquire(OperationLock& lock) noexcept {
    const unsigned long me = PyThread_get_thread_ident();
    if (lock.depth > 0 && lock.owner == me) {
        ++lock.depth;
        return true;
    }
    if (!PyThread_acquire_lock(lock.mutex, NOWAIT_LOCK)) {
        for (;;) {
            PyLockStatus status;
            Py_BEGIN_ALLOW_THREADS
            status = PyThread_acquire_lock_timed(lock.mutex, -1, /*intr_flag=*/1);
            Py_END_ALLOW_THREADS
            if (status == PY_LOCK_ACQUIRED) break;
            // A signal woke the wait: its Python handler runs now, and an
            // exception it raises (KeyboardInterrupt) gives up the wait.
            if (PyErr_CheckSignals() < 0) return false;
        }
    }
    lock.owner = me;
    lock.depth = 1;
    return true;
}

void lock_release(OperationLock& lock) noexcept {
    if (--lock.depth == 0) PyThread_release_lock(lock.mutex);
}

}  // namespace kq
