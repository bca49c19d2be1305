// Wavelengths of a channel: the list it supports, and the selection of one
// of them, which the instrument takes as a position in that list.
#include "core/python_ops.hpp"
#include "operations/operations.hpp"
#include "protocol/answers.hpp"
#include "wire/exchange.hpp"

namespace kq2741::driver {

namespace {

using kq2741::protocol::list_field::kCount;
using kq2741::protocol::list_field::kFirstWavelength;

// The count as a loop bound, as `[0] * count` and `range(count)` take it.
bool wavelength_count(Borrowed count, Py_ssize_t& out) noexcept {
    if (!PyIndex_Check(count)) {
        PyErr_Format(PyExc_TypeError, "can't multiply sequence by non-int of type '%.200s'", Py_TYPE(count)->tp_name);
        return false;
    }
    out = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    return !(out == -1 && PyErr_Occurred());
}

// Wavelength i is its low byte plus its high byte << 8, two bytes apart. The
// list grows one element at a time, so a count the answer cannot back stops
// at the first missing byte with IndexError instead of reserving room for it.
Ref decode_wavelengths(const Answer& answer) noexcept {
    Ref count_item = answer.item(payload_at(kCount));
    if (!count_item) return {};
    Py_ssize_t count;
    if (!wavelength_count(count_item.get(), count)) return {};
    Ref wavelengths = Ref::steal(PyList_New(0));
    if (!wavelengths) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_ssize_t low_at = payload_at(kFirstWavelength) + 2 * i;
        Ref low = answer.item(low_at);
        if (!low) return {};
        Ref high = answer.item(low_at + 1);
        if (!high) return {};
        Ref shifted = shift_left(high.get(), 8);
        if (!shifted) return {};
        Ref wavelength = add(low.get(), shifted.get());
        if (!wavelength) return {};
        if (PyList_Append(wavelengths.get(), wavelength.get()) < 0) return {};
    }
    return wavelengths;
}

// ValueError("the length: <length> no supported yet!"). str(length) is taken
// first: its own failure (say, too many digits) is what the caller must see,
// and PyErr_Format drops it on some 3.11 releases.
void refuse_wavelength(Borrowed length) noexcept {
    Ref digits = Ref::steal(PyObject_Str(length));
    if (!digits) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("the length: %U no supported yet!", digits.get()));
    if (!message) return;
    PyErr_SetObject(PyExc_ValueError, message.get());
}

}  // namespace

Ref read_optical_length(const Call& call) noexcept {
    Answer answer;
    int framed = query_channel(call, Template::WavelengthList, answer);
    if (framed < 0) return {};
    if (!framed) return Ref::borrow(Py_None);
    return decode_wavelengths(answer);
}

Ref set_optical_length(const Call& call) noexcept {
    Borrowed length = call.arg(Arg::Length);
    Borrowed channel = call.arg(Arg::Channel);

    // The index must come from the list of the channel being set: channels
    // need not support the same wavelengths.
    Ref supported = call_method(call.self(), call.st.object.read_optical_length, {channel});
    if (!supported) return {};
    int have_list = PyObject_IsTrue(supported.get());
    if (have_list < 0) return {};
    if (!have_list) {
        PyErr_SetString(PyExc_RuntimeError, "device read failed! Please check your connection!");
        return {};
    }
    int known = PySequence_Contains(supported.get(), length);
    if (known < 0) return {};
    if (!known) {
        refuse_wavelength(length);
        return {};
    }

    Ref frame = command_template(call, Template::SelectWavelength);
    if (!frame) return {};
    if (!store_item(frame.get(), kChannelByte, channel)) return {};
    Ref position = call_method(supported.get(), call.st.python.index, {length});
    if (!position) return {};
    if (!store_item(frame.get(), kPayloadByte, position.get())) return {};
    Answer answer;
    if (!exchange(call, frame.get(), Checksum::Recompute, answer)) return {};
    return framed_result(answer);
}

}  // namespace kq2741::driver
