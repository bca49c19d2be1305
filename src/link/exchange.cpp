#include "link/exchange.hpp"

#include "link/pyops.hpp"

namespace kq {

Ref command_template(const Call& call, Cmd cmd) noexcept {
    return get_attr(call.self(), call.st.template_names[static_cast<size_t>(cmd)]);
}

namespace {

// n = self.ser.inWaiting(); n > 0 and self.ser.read(n). Returns the bytes read,
// None when nothing waited, null on error.
Ref take_waiting(const Call& call) noexcept {
    const Names& n = call.names();
    Ref ser = get_attr(call.self(), n.ser);
    if (!ser) return {};
    Ref waiting = call_method(ser.get(), n.inWaiting);
    if (!waiting) return {};
    Ref zero = Ref::steal(PyLong_FromLong(0));
    int any = PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT);
    if (any < 0) return {};
    if (!any) return Ref::borrow(Py_None);
    ser = get_attr(call.self(), n.ser);
    return ser ? call_method(ser.get(), n.read, {waiting.get()}) : Ref();
}

// Whether the connection says it is open; a serial layer that does not say
// (no `is_open`) is taken to be open.
int connection_open(Borrowed ser, const Names& n) noexcept {
    PyObject* is_open = nullptr;
    int found = _PyObject_LookupAttr(ser, n.is_open, &is_open);
    if (found <= 0) return found < 0 ? -1 : 1;
    Ref owned = Ref::steal(is_open);
    return PyObject_IsTrue(owned.get());
}

// A late answer to an earlier request would otherwise be read as the answer
// to this one: drop whatever is already waiting. A closed port is left to
// `write`, which reports it as the serial library's not-open error.
bool drain_input(const Call& call) noexcept {
    Ref ser = get_attr(call.self(), call.names().ser);
    int open = ser ? connection_open(ser.get(), call.names()) : -1;
    if (open <= 0) return open == 0;
    return static_cast<bool>(take_waiting(call));
}

}  // namespace

Ref read_waiting(const Call& call) noexcept { return take_waiting(call); }

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
