#include "link/exchange.hpp"

#include "core/pyops.hpp"

namespace kq {

Ref command_template(const Call& call, Cmd cmd) noexcept {
    return get_attr(call.self(), call.st.template_names[static_cast<size_t>(cmd)]);
}

namespace {

// n = ser.inWaiting(); ser.read(n) if n > 0 else None
Ref read_pending(Borrowed ser, const Names& n) noexcept {
    Ref waiting = call_method(ser, n.inWaiting);
    if (!waiting) return {};
    Ref zero = Ref::steal(PyLong_FromLong(0));
    int any = PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT);
    if (any <= 0) return any < 0 ? Ref() : Ref::borrow(Py_None);
    return call_method(ser, n.read, {waiting.get()});
}

// A late answer to an earlier request would otherwise be read as the answer
// to this one: drop whatever is already waiting. The drain never reports a
// failure of the line itself (a closed or vanished port): the request's own
// write or read reports it, with the serial library's own exception, as it
// would without the drain. Interruptions (KeyboardInterrupt) still stop it.
bool drain_input(const Call& call) noexcept {
    Ref ser = get_attr(call.self(), call.names().ser);
    if (!ser) return false;
    if (read_pending(ser.get(), call.names())) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

Ref read_waiting(const Call& call) noexcept {
    Ref ser = get_attr(call.self(), call.names().ser);
    return ser ? read_pending(ser.get(), call.names()) : Ref();
}

Ref exchange(const Call& call, Borrowed frame, bool fill_checksum) noexcept {
    const Names& n = call.names();
    if (fill_checksum && !call_method(call.self(), n.cal_crc, {frame})) return {};

    if (!drain_input(call)) return {};

    Ref ser = get_attr(call.self(), n.ser);
    if (!ser || !call_method(ser.get(), n.write, {frame})) return {};

    Ref time = load_global(call, n.g_time);
    if (!time || !call_method(time.get(), n.sleep, {call.st.wait_seconds})) return {};

    return call_method(call.self(), n.read_waiting);
}

}  // namespace kq
