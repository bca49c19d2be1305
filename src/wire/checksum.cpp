#include "wire/checksum.hpp"

#include "core/python_ops.hpp"

namespace kq2741::driver {

namespace {

// Counted from the end: the checksum byte sits just before the frame end.
constexpr Py_ssize_t kChecksumByte = -2;

// Sum of the leading `count` elements when all of them are machine-sized ints;
// false (and nothing raised) as soon as one is not.
bool sum_small_ints(Borrowed list, Py_ssize_t count, long& total) noexcept {
    total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        long value;
        if (!small_int(PyList_GET_ITEM(list, i), value) || !sum_fits(total, value, total)) return false;
    }
    return true;
}

// (~sum(frame[:-2]) + 1) & 0xFF, for whatever the list holds.
Ref frame_checksum(const Call& call, Borrowed frame) noexcept {
    Py_ssize_t summed = PyList_GET_SIZE(frame) + kChecksumByte;
    long total;
    if (summed <= 0) return Ref::steal(PyLong_FromLong(0));
    if (sum_small_ints(frame, summed, total))
        return Ref::steal(PyLong_FromLong(static_cast<long>((0UL - static_cast<unsigned long>(total)) & 0xFFUL)));

    // Anything else follows Python's own arithmetic: sum() over a copy of the
    // slice, so an element's __add__ cannot change what is being summed.
    Ref head = Ref::steal(PyList_GetSlice(frame, 0, summed));
    if (!head) return {};
    Ref sum = call_object(call.st.sum, {head.get()});
    if (!sum) return {};
    Ref inverted = invert(sum.get());
    if (!inverted) return {};
    Ref negated = add_long(inverted.get(), 1);
    if (!negated) return {};
    return mask(negated.get(), 0xFF);
}

}  // namespace

Ref cal_crc(const Call& call) noexcept {
    Borrowed frame = call.arg(Arg::Frame);
    Ref checksum = frame_checksum(call, frame);
    if (!checksum) return {};
    if (PySequence_SetItem(frame, kChecksumByte, checksum.get()) < 0) return {};
    return Ref::borrow(Py_None);
}

Ref check_crc(const Call& call) noexcept {
    Borrowed frame = call.arg(Arg::Frame);
    Ref checksum = frame_checksum(call, frame);
    if (!checksum) return {};
    Ref stored = Ref::steal(PySequence_GetItem(frame, kChecksumByte));
    if (!stored) return {};
    return Ref::steal(PyObject_RichCompare(stored.get(), checksum.get(), Py_EQ));
}

}  // namespace kq2741::driver
