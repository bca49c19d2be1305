// One operation at a time on an Attenuator: its lock, taken for a whole
// operation (both exchanges of a wavelength selection). Waiting for it
// releases the GIL, which its holder needs to finish, and a signal handler's
// exception (Ctrl-C) ends the wait. A call from the thread that holds it (a
// logging handler or a signal handler that uses the same Attenuator during
// an exchange) would wait for itself for ever: it is a RuntimeError at once,
// as Python's buffered files say of a re-entrant call.
#pragma once

#include <atomic>

#include "cpython/lock_wait.hpp"

namespace kq2741::package {

// Zero is "nobody": thread idents are never 0.
struct Turnstile {
    PyThread_type_lock lock;
    unsigned long holder;
};

class Turn {
public:
    // Check it with operator bool: false with an exception set when the
    // wait was given up (KeyboardInterrupt) or the call is re-entrant.
    Turn(Turnstile& turnstile, PyObject* owner) noexcept : turnstile_(take(turnstile, owner) ? &turnstile : nullptr) {}
    ~Turn() {
        if (!turnstile_) return;
        std::atomic_ref<unsigned long>(turnstile_->holder).store(0, std::memory_order_relaxed);
        PyThread_release_lock(turnstile_->lock);
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    explicit operator bool() const noexcept { return turnstile_ != nullptr; }

private:
    static bool take(Turnstile& t, PyObject* owner) noexcept {
        const unsigned long me = PyThread_get_thread_ident();
        if (std::atomic_ref<unsigned long>(t.holder).load(std::memory_order_relaxed) == me) {
            PyErr_Format(PyExc_RuntimeError, "reentrant call inside %R", owner);
            return false;
        }
        if (!cpython::wait_for_lock(t.lock)) return false;
        std::atomic_ref<unsigned long>(t.holder).store(me, std::memory_order_relaxed);
        return true;
    }

    Turnstile* turnstile_;
};

}  // namespace kq2741::package
