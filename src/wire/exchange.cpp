#include "wire/exchange.hpp"

#include "core/python_ops.hpp"

namespace kq2741::driver {

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

Ref command_template(const Call& call, Template which) noexcept {
    return get_attr(call.self(), call.st.templates[static_cast<size_t>(which)]);
}

Ref send_on_channel(const Call& call, Borrowed frame) noexcept {
    Answer answer;
    if (!exchange_on_channel(call, frame, answer)) return {};
    return framed_result(answer);
}

int query_channel(const Call& call, Template which, Answer& answer) noexcept {
    Ref frame = command_template(call, which);
    if (!frame) return -1;
    if (!exchange_on_channel(call, frame.get(), answer)) return -1;
    return answer.framed();
}

bool exchange_on_channel(const Call& call, Borrowed frame, Answer& answer) noexcept {
    if (!store_item(frame, kChannelByte, call.arg(Arg::Channel))) return false;
    return exchange(call, frame, Checksum::Recompute, answer);
}

bool exchange(const Call& call, Borrowed frame, Checksum checksum, Answer& answer) noexcept {
    if (checksum == Checksum::Recompute && !call_method(call.self(), call.st.object.cal_crc, {frame})) return false;
    if (!drain_input(call)) return false;

    Ref ser = get_attr(call.self(), call.st.object.ser);
    if (!ser) return false;
    if (!call_method(ser.get(), call.st.serial.write, {frame})) return false;

    Ref time = load_global(call, call.st.globals.time);
    if (!time) return false;
    if (!call_method(time.get(), call.st.python.sleep, {call.st.wait_seconds})) return false;

    Ref read_bytes = call_method(call.self(), call.st.object.read);
    if (!read_bytes) return false;
    return answer.load(read_bytes.get());
}

Ref read_waiting(const Call& call) noexcept {
    Ref ser = get_attr(call.self(), call.st.object.ser);
    if (!ser) return {};
    return read_pending(call, ser.get());
}

// --- the answer ---

bool Answer::load(Borrowed read_bytes) noexcept {
    if (PyBytes_CheckExact(read_bytes)) {
        if (PyBytes_GET_SIZE(read_bytes) > 0) bytes_ = Ref::borrow(read_bytes);
        return true;
    }
    int truthy = PyObject_IsTrue(read_bytes);
    if (truthy < 0) return false;
    if (truthy) {
        list_ = Ref::steal(PySequence_List(read_bytes));
        if (!list_) return false;
    }
    return true;
}

Py_ssize_t Answer::size() const noexcept {
    if (bytes_) return PyBytes_GET_SIZE(bytes_.get());
    return list_ ? PyList_GET_SIZE(list_.get()) : 0;
}

Ref Answer::item(Py_ssize_t index) const noexcept {
    Py_ssize_t length = size();
    if (index < 0) index += length;
    if (index < 0 || index >= length) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return {};
    }
    if (bytes_) return Ref::steal(PyLong_FromLong(static_cast<unsigned char>(PyBytes_AS_STRING(bytes_.get())[index])));
    return Ref::borrow(PyList_GET_ITEM(list_.get(), index));
}

int Answer::item_equals(Py_ssize_t index, long value) const noexcept {
    Ref element = item(index);
    if (!element) return -1;
    long small;
    if (small_int(element.get(), small)) return small == value;
    Ref expected = Ref::steal(PyLong_FromLong(value));
    if (!expected) return -1;
    Ref equal = Ref::steal(PyObject_RichCompare(element.get(), expected.get(), Py_EQ));
    if (!equal) return -1;
    return PyObject_IsTrue(equal.get());
}

int Answer::framed() const noexcept {
    if (size() == 0) return 0;
    int starts = item_equals(0, kq2741::protocol::kStart);
    if (starts <= 0) return starts;
    return item_equals(-1, kq2741::protocol::kEnd);
}

Ref framed_result(const Answer& answer) noexcept {
    int framed = answer.framed();
    if (framed < 0) return {};
    return Ref::borrow(framed ? Py_True : Py_False);
}

}  // namespace kq2741::driver
