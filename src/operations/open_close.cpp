// Construction, open and close: the driver object and its serial connection.
#include "operations/operations.hpp"
#include "operations/serial_port.hpp"

namespace kq2741::driver {

namespace {

constexpr char kPortBusy[] = "serial port already opened!, Please close and try                       again!";
constexpr char kCannotOpen[] = "Cannot open serial port";

// The line settings: 115200 baud, 8 data bits and no parity by position,
// then timeout=50 and stopbits=1 by keyword (ModuleState::open_kwnames).
constexpr long kBaudRate = 115200;
constexpr long kDataBits = 8;
constexpr long kReadTimeoutSeconds = 50;
constexpr long kStopBits = 1;

// The guarded part of open(): the busy check, then the connection.
Ref open_connection(const Call& call) noexcept {
    Ref available = call_method(call.self(), call.st.object.check_port_available);
    if (!available) return {};
    int free = PyObject_IsTrue(available.get());
    if (free < 0) return {};
    if (!free) {
        Ref text = Ref::steal(PyUnicode_FromString(kPortBusy));
        if (!text) return {};
        if (!print_line(call, text.get())) return {};
        return Ref::borrow(Py_False);
    }

    Ref baud = Ref::steal(PyLong_FromLong(kBaudRate));
    Ref data_bits = Ref::steal(PyLong_FromLong(kDataBits));
    Ref timeout = Ref::steal(PyLong_FromLong(kReadTimeoutSeconds));
    Ref stop_bits = Ref::steal(PyLong_FromLong(kStopBits));
    if (!baud || !data_bits || !timeout || !stop_bits) return {};
    Ref connection = open_serial(
        call, {baud.get(), data_bits.get(), call.st.texts.parity_none, timeout.get(), stop_bits.get()},
        call.st.open_kwnames);
    if (!connection) return {};
    if (PyObject_SetAttr(call.self(), call.st.object.ser, connection.get()) < 0) return {};
    return Ref::borrow(Py_True);
}

// except serial.SerialException as e: print("Cannot open serial port" + str(e))
// except Exception: return False; anything else propagates.
Ref handle_open_failure(const Call& call) noexcept {
    CaughtError error;
    error.fetch();
    int serial_error = is_serial_error(call, error);
    if (serial_error < 0) return {};
    if (serial_error) return print_refusal(call, error, kCannotOpen, Reason::Str);
    if (error.matches(PyExc_Exception)) return Ref::borrow(Py_False);
    error.restore();
    return {};
}

}  // namespace

Ref driver_init(const Call& call) noexcept {
    if (PyObject_SetAttr(call.self(), call.st.object.port, call.arg(Arg::SerialPort)) < 0) return {};
    return Ref::borrow(Py_None);
}

Ref driver_open(const Call& call) noexcept {
    Ref opened = open_connection(call);
    if (opened) return opened;
    return handle_open_failure(call);
}

Ref driver_close(const Call& call) noexcept {
    Ref ser = get_attr(call.self(), call.st.object.ser);
    if (!ser) return {};
    if (!call_method(ser.get(), call.st.serial.close)) return {};
    return Ref::borrow(Py_None);
}

}  // namespace kq2741::driver
