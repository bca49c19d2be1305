// One instrument operation at a time, across every driver object of the
// module and every thread: the command templates are class state that each
// operation patches and then sends, and a port carries one request at a time.
//
// Re-entrant, so an operation may call another on the same thread (the
// wavelength selection reads the list first; a connection may call back into
// the driver). Waiting for it releases the GIL, which its holder needs in
// order to finish, and a signal handler's exception (Ctrl-C) ends the wait.
#pragma once

#include "core/ref.hpp"

#include <pythread.h>

namespace kq {

// All zero is the state of a module not yet executed; every field is read
// and written with the GIL held.
struct OperationLock {
    PyThread_type_lock mutex;
    unsigned long owner;   // thread ident of the holder, meaningful while depth > 0
    unsigned long depth;
};

bool lock_init(OperationLock& lock) noexcept;          // false with MemoryError set
void lock_free(OperationLock& lock) noexcept;
bool lock_acquire(OperationLock& lock) noexcept;       // false with an exception set
void lock_release(OperationLock& lock) noexcept;       // touches no Python state

// Holds the lock for its own lifetime, when it got it.
class HeldLock {
public:
    explicit HeldLock(OperationLock& lock) noexcept : lock_(lock_acquire(lock) ? &lock : nullptr) {}
    ~HeldLock() {
        if (lock_) lock_release(*lock_);
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    explicit operator bool() const noexcept { return lock_ != nullptr; }

private:
    OperationLock* lock_;
};

}  // namespace kq
