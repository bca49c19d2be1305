#include "operations/serial_port.hpp"

#include <array>

namespace kq2741::driver {

namespace {

constexpr size_t kMaxSerialArgs = 7;

Ref reason_text(Borrowed exception, Reason reason) noexcept {
    if (reason == Reason::Str) return Ref::steal(PyObject_Str(exception));
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    if (!empty) return {};
    return Ref::steal(PyObject_Format(exception, empty.get()));
}

Ref refusal_line(Borrowed exception, const char* prefix, Reason reason) noexcept {
    Ref text = reason_text(exception, reason);
    if (!text) return {};
    return Ref::steal(PyUnicode_FromFormat("%s%U", prefix, text.get()));
}

}  // namespace

Ref open_serial(const Call& call, std::initializer_list<Borrowed> args, Borrowed kwnames) noexcept {
    Ref serial_class = load_global_attr(call, call.st.globals.serial, call.st.serial.Serial);
    if (!serial_class) return {};
    Ref port = get_attr(call.self(), call.st.object.port);
    if (!port) return {};
    std::array<Borrowed, kMaxSerialArgs> all{port.get()};
    size_t n = 1;
    for (Borrowed arg : args)
        if (n < all.size()) all[n++] = arg;
    return call_object(serial_class.get(), std::span<const Borrowed>(all.data(), n), kwnames);
}

int is_serial_error(const Call& call, CaughtError& error) noexcept {
    Ref serial_exception = load_global_attr(call, call.st.globals.serial, call.st.serial.SerialException);
    if (!serial_exception) {
        error.chain_into_current();
        return -1;
    }
    return error.matches(serial_exception.get()) ? 1 : 0;
}

Ref print_refusal(const Call& call, CaughtError& error, const char* prefix, Reason reason) noexcept {
    Ref line = refusal_line(error.get(), prefix, reason);
    if (!line || !print_line(call, line.get())) {
        error.chain_into_current();
        return {};
    }
    return Ref::borrow(Py_False);
}

}  // namespace kq2741::driver
