#include "wire/answer.hpp"

#include "core/arith.hpp"
#include "core/pyops.hpp"
#include "wire/templates.hpp"

namespace kq {

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

bool ask(const Call& call, Borrowed frame, Checksum checksum, Answer& answer) noexcept {
    Ref read_bytes = exchange(call, frame, checksum);
    if (!read_bytes) return false;
    return answer.load(read_bytes.get());
}

bool ask_on_channel(const Call& call, Borrowed frame, Answer& answer) noexcept {
    if (!store_item(frame, kChannelByte, call.arg(Arg::Channel))) return false;
    return ask(call, frame, Checksum::Recompute, answer);
}

int query_channel(const Call& call, Template which, Answer& answer) noexcept {
    Ref frame = command_template(call, which);
    if (!frame) return -1;
    if (!ask_on_channel(call, frame.get(), answer)) return -1;
    return answer.framed();
}

Ref framed_result(const Answer& answer) noexcept {
    int framed = answer.framed();
    if (framed < 0) return {};
    return Ref::borrow(framed ? Py_True : Py_False);
}

}  // namespace kq
