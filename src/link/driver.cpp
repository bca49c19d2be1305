#include "link/driver.hpp"

#include "core/pyops.hpp"

namespace kq {

namespace {

constexpr const char kPortBusy[] = "serial port already opened!, Please close and try                       again!";
constexpr const char kCannotOpen[] = "Cannot open serial port";

// The guarded part of open(): the busy check, then the connection.
Ref open_connection(const Call& call) noexcept {
    const Names& n = call.names();
    Ref available = call_method(call.self(), n.check_port_available);
    if (!available) return {};
    int free = PyObject_IsTrue(available.get());
    if (free < 0) return {};
    if (!free) {
        Ref text = Ref::steal(PyUnicode_FromString(kPortBusy));
        if (!text || !print_line(call, text.get())) return {};
        return Ref::borrow(Py_False);
    }

    Ref serial = load_global(call, n.g_serial);
    Ref open_serial = serial ? get_attr(serial.get(), n.Serial) : Ref();
    Ref port = open_serial ? get_attr(call.self(), n.port) : Ref();
    if (!port) return {};
    Ref baud = Ref::steal(PyLong_FromLong(115200));
    Ref data_bits = Ref::steal(PyLong_FromLong(8));
    Ref timeout = Ref::steal(PyLong_FromLong(50));
    Ref stop_bits = Ref::steal(PyLong_FromLong(1));
    if (!baud || !data_bits || !timeout || !stop_bits) return {};
    Ref connection = call_object(open_serial.get(),
                                 {port.get(), baud.get(), data_bits.get(), n.parity_none, timeout.get(), stop_bits.get()},
                                 call.st.open_kwnames);
    if (!connection || PyObject_SetAttr(call.self(), n.ser, connection.get()) < 0) return {};
    return Ref::borrow(Py_True);
}

// `except serial.SerialException as e: print("Cannot open serial port" + str(e))`
// then `except Exception: return False`; anything else propagates.
Ref handle_open_failure(const Call& call) noexcept {
    CaughtError error;
    error.fetch();
    Ref serial = load_global(call, call.names().g_serial);
    Ref serial_exception = serial ? get_attr(serial.get(), call.names().SerialException) : Ref();
    if (!serial_exception) {
        error.chain_into_current();
        return {};
    }
    if (error.matches(serial_exception.get())) {
        Ref reason = Ref::steal(PyObject_Str(error.get()));
        Ref text = reason ? Ref::steal(PyUnicode_FromFormat("%s%U", kCannotOpen, reason.get())) : Ref();
        if (!text || !print_line(call, text.get())) {
            error.chain_into_current();
            return {};
        }
        return Ref::borrow(Py_False);
    }
    if (error.matches(PyExc_Exception)) return Ref::borrow(Py_False);
    error.restore();
    return {};
}

}  // namespace

Ref driver_init(const Call& call) noexcept {
    if (PyObject_SetAttr(call.self(), call.names().port, call.arg(1)) < 0) return {};
    return Ref::borrow(Py_None);
}

Ref driver_open(const Call& call) noexcept {
    Ref opened = open_connection(call);
    return opened ? std::move(opened) : handle_open_failure(call);
}

Ref driver_close(const Call& call) noexcept {
    Ref ser = get_attr(call.self(), call.names().ser);
    if (!ser || !call_method(ser.get(), call.names().close)) return {};
    return Ref::borrow(Py_None);
}

}  // namespace kq
