// Wavelengths of a channel: the list it supports, and the selection of one
// of them, which the instrument takes as a position in that list.
#include "commands/answer.hpp"
#include "commands/commands.hpp"
#include "core/arith.hpp"
#include "link/exchange.hpp"
#include "core/pyops.hpp"

namespace kq {

namespace {

constexpr Py_ssize_t kCountIndex = 5;
constexpr Py_ssize_t kFirstWavelength = 6;

// buf[5] as a loop bound, as `[0] * count` and `range(count)` take it.
bool wavelength_count(Borrowed count, Py_ssize_t& out) noexcept {
    if (!PyIndex_Check(count)) {
        PyErr_Format(PyExc_TypeError, "can't multiply sequence by non-int of type '%.200s'", Py_TYPE(count)->tp_name);
        return false;
    }
    out = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    return !(out == -1 && PyErr_Occurred());
}

// Wavelength i is buf[6 + 2i] + (buf[7 + 2i] << 8). The list grows one
// element at a time, so a count the answer cannot back stops at the first
// missing byte with IndexError instead of reserving room for it.
Ref decode_wavelengths(const Answer& answer) noexcept {
    Ref count_item = answer.item(kCountIndex);
    Py_ssize_t count;
    if (!count_item || !wavelength_count(count_item.get(), count)) return {};
    Ref wavelengths = Ref::steal(PyList_New(0));
    if (!wavelengths) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref low = answer.item(kFirstWavelength + 2 * i);
        Ref high = low ? answer.item(kFirstWavelength + 2 * i + 1) : Ref();
        Ref shifted = high ? shift_left(high.get(), 8) : Ref();
        Ref wavelength = shifted ? add(low.get(), shifted.get()) : Ref();
        if (!wavelength || PyList_Append(wavelengths.get(), wavelength.get()) < 0) return {};
    }
    return wavelengths;
}

}  // namespace

Ref read_optical_length(const Call& call) noexcept {
    Ref frame = command_template(call, Cmd::ReadOpticalLen);
    Answer answer;
    if (!frame || !store_item(frame.get(), 1, call.arg(1)) || !ask(call, frame.get(), true, answer)) return {};
    if (!answer.present()) return Ref::borrow(Py_None);
    int framed = answer.framed_present();
    if (framed < 0) return {};
    return framed ? decode_wavelengths(answer) : Ref::borrow(Py_None);
}

Ref set_optical_length(const Call& call) noexcept {
    const Names& n = call.names();
    Borrowed length = call.arg(1);
    Borrowed channel = call.arg(2);

    // The index must come from the list of the channel being set: channels
    // need not support the same wavelengths.
    Ref supported = call_method(call.self(), n.read_optical_length, {channel});
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
        // str(length) first: its own failure (say, too many digits) is what
        // the caller must see, and PyErr_Format drops it on some 3.11 releases.
        Ref digits = Ref::steal(PyObject_Str(length));
        if (!digits) return {};
        Ref message = Ref::steal(PyUnicode_FromFormat("the length: %U no supported yet!", digits.get()));
        if (!message) return {};
        PyErr_SetObject(PyExc_ValueError, message.get());
        return {};
    }

    Ref frame = command_template(call, Cmd::SetOpticalLen);
    if (!frame || !store_item(frame.get(), 1, channel)) return {};
    Ref position = call_method(supported.get(), n.index, {length});
    Answer answer;
    if (!position || !store_item(frame.get(), 5, position.get()) || !ask(call, frame.get(), true, answer)) return {};
    if (!answer.present()) return Ref::borrow(Py_False);
    int framed = answer.framed_present();
    if (framed < 0) return {};
    return Ref::borrow(framed ? Py_True : Py_False);
}

}  // namespace kq
