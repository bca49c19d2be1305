#include "wire/exchange.hpp"

#include "core/pyops.hpp"

namespace kq {

Ref command_template(const Call& call, Template which) noexcept {
    return get_attr(call.self(), call.st.templates[static_cast<size_t>(which)]);
}

namespace {

// n = ser.inWaiting(); ser.read(n) if n > 0 else None
Ref read_pending(const Call& call, Borrowed ser) noexcept {
    Ref waiting = call_method(ser, call.st.serial.inWaiting);
    if (!waiting) return {};
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return {};
    int any = PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT);
    if (any < 0) return {};
    if (!any) return Ref::borrow(Py_None);
    return call_method(ser, call.st.serial.read, {waiting.get()});
}

// A late answer to an earlier request would otherwise be read as the answer
// to this one: drop whatever is already waiting. The drain never reports a
// failure of the line itself (a closed or vanished port): the request's own
// write or read reports it, with the serial library's own exception, as it
// would without the drain. Interruptions (KeyboardInterrupt) still stop it.
bool drain_input(const Call& call) noexcept {
    Ref ser = get_attr(call.self(), call.st.object.ser);
    if (!ser) return false;
    if (read_pending(call, ser.get())) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

Ref read_waiting(const Call& call) noexcept {
    Ref ser = get_attr(call.self(), call.st.object.ser);
    if (!ser) return {};
    return read_pending(call, ser.get());
}

Ref exchange(const Call& call, Borrowed frame, Checksum checksum) noexcept {
    if (checksum == Checksum::Recompute && !call_method(call.self(), call.st.object.cal_crc, {frame})) return {};
    if (!drain_input(call)) return {};

    Ref ser = get_attr(call.self(), call.st.object.ser);
    if (!ser) return {};
    if (!call_method(ser.get(), call.st.serial.write, {frame})) return {};

    Ref time = load_global(call, call.st.globals.time);
    if (!time) return {};
    if (!call_method(time.get(), call.st.python.sleep, {call.st.wait_seconds})) return {};

    return call_method(call.self(), call.st.object.read);
}

}  // namespace kq
