#include "link/checksum.hpp"

#include "core/arith.hpp"
#include "core/pyops.hpp"

namespace kq {

namespace {

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

}  // namespace

Ref frame_checksum(const Call& call, Borrowed frame) noexcept {
    Py_ssize_t summed = PyList_GET_SIZE(frame) - 2;
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
    return negated ? mask(negated.get(), 0xFF) : Ref();
}

Ref cal_crc(const Call& call) noexcept {
    Borrowed frame = call.arg(1);
    Ref checksum = frame_checksum(call, frame);
    if (!checksum || PySequence_SetItem(frame, -2, checksum.get()) < 0) return {};
    return Ref::borrow(Py_None);
}

Ref check_crc(const Call& call) noexcept {
    Borrowed frame = call.arg(1);
    Ref checksum = frame_checksum(call, frame);
    if (!checksum) return {};
    Ref stored = Ref::steal(PySequence_GetItem(frame, -2));
    return stored ? Ref::steal(PyObject_RichCompare(stored.get(), checksum.get(), Py_EQ)) : Ref();
}

}  // namespace kq
