// Any serial object pyserial can open that is not a local terminal: the
// exchange through its own read and write, which release the GIL while they
// wait; its errors are its own.
#include <algorithm>
#include <cerrno>

#include "cpython/raised.hpp"
#include "line.hpp"

namespace kq2741::package {
namespace {

// Each pyserial read waits at most this long for its first byte; the
// exchange keeps its own deadline around them.
constexpr double kReadSlice = 0.01;

using protocol::Clock;
using protocol::Io;

// A Python exception from the serial object: an Exception is the line
// failing; anything else (KeyboardInterrupt) is a signal's handler.
Io raised() {
    return PyErr_ExceptionMatches(PyExc_Exception) ? Io::Failed : Io::Interrupted;
}

class SerialTransport final : public protocol::Transport {
public:
    SerialTransport(const State& st, Borrowed serial) : st_(st), serial_(serial) {}

    Io drain(Sink sink) override {
        Ref data;
        if (!read_waiting(data, false)) return raised();
        const auto got = view(data.get());
        if (!got.empty()) sink(got);
        return Io::Done;
    }

    Io send(std::span<const std::uint8_t> frame, Clock::time_point) override {
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                                         static_cast<Py_ssize_t>(frame.size())));
        if (!bytes || !Ref::steal(PyObject_CallMethodOneArg(serial_, st_.names.write, bytes.get()))) return raised();
        return Io::Done;
    }

    // Each read returns with the first byte, or after the serial object's
    // own short time-out; the deadline is kept here. What has arrived is
    // always read, however late the first look.
    Io listen(const Clock::time_point& deadline, Sink sink) override {
        do {
            Ref data;
            if (!read_waiting(data, true)) return raised();
            if (sink(view(data.get()))) return Io::Done;
        } while (Clock::now() < deadline);
        return Io::Done;
    }

private:
    // read(in_waiting), or read(1) to wait for a first byte when at_least_one.
    bool read_waiting(Ref& data, bool at_least_one) {
        Ref waiting = Ref::steal(PyObject_GetAttr(serial_, st_.names.in_waiting));
        if (!waiting) return false;
        const Py_ssize_t n = PyNumber_AsSsize_t(waiting.get(), PyExc_OverflowError);
        if (n < 0 && PyErr_Occurred()) return false;
        if (n <= 0 && !at_least_one) {
            data = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
            return static_cast<bool>(data);
        }
        Ref wanted = Ref::steal(PyLong_FromSsize_t(std::max<Py_ssize_t>(n, 1)));
        if (!wanted) return false;
        data = Ref::steal(PyObject_CallMethodOneArg(serial_, st_.names.read, wanted.get()));
        if (!data) return false;
        if (!PyBytes_Check(data.get())) {
            PyErr_Format(PyExc_TypeError, "the serial object's read() returned %s, not bytes",
                         Py_TYPE(data.get())->tp_name);
            return false;
        }
        return true;
    }

    static std::span<const std::uint8_t> view(PyObject* bytes) {
        return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes)),
                static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
    }

    const State& st_;
    Borrowed serial_;  // the line owns it
};

class SerialLine final : public Line {
public:
    SerialLine(const State& st, Ref serial) : st_(st), serial_(std::move(serial)), transport_(st, serial_.get()) {}
    ~SerialLine() override {
        if (!serial_) return;
        Ref pending = cpython::take_raised();
        if (!close()) PyErr_WriteUnraisable(nullptr);
        cpython::raise_again(std::move(pending));
    }

    protocol::Transport& transport() override { return transport_; }
    void raise_failure() override {
        if (!PyErr_Occurred()) PyErr_SetString(st_.serial_exception, "the serial object failed");
    }
    bool close() override {
        Ref serial = std::move(serial_);
        return !serial || Ref::steal(PyObject_CallMethodNoArgs(serial.get(), st_.names.close));
    }

private:
    const State& st_;
    Ref serial_;
    SerialTransport transport_;
};

#ifndef KQ2741CTL_TTY
// Where pyserial holds every port itself (Windows, macOS), its refusal of a
// port that another program has becomes PortBusy, pyserial's error its
// cause. Windows gives a serial port to one program at a time, and pyserial
// keeps the system's refusal in its message alone ("could not open port
// 'COM3': PermissionError(13, 'Access is denied.', None, 5)"); elsewhere
// the lock it takes (exclusive=True) fails with EWOULDBLOCK.
bool held_elsewhere(Borrowed error) {
#ifdef _WIN32
    Ref text = Ref::steal(PyObject_Str(error));
    Ref needle = Ref::steal(PyUnicode_FromString("PermissionError("));
    const int found = text && needle ? PySequence_Contains(text.get(), needle.get()) : -1;
#else
    Ref code = Ref::steal(PyObject_GetAttrString(error, "errno"));
    const long number = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : 0;
    const int found = number == EWOULDBLOCK || number == EAGAIN;
#endif
    PyErr_Clear();  // a failed look is no sign of a holder
    return found > 0;
}

void raise_if_held(const State& st, Borrowed port) {
    if (!PyErr_ExceptionMatches(st.serial_exception)) return;
    Ref error = cpython::take_raised();
    if (!held_elsewhere(error.get())) return cpython::raise_again(std::move(error));
    Ref message = Ref::steal(PyUnicode_FromFormat("%U is held by another program", port));
    Ref busy = message ? Ref::steal(PyObject_CallOneArg(st.port_busy, message.get())) : Ref{};
    if (!busy) return;
    PyException_SetCause(busy.get(), error.release());
    PyErr_SetObject(st.port_busy, busy.get());
}
#endif

}  // namespace

std::unique_ptr<Line> open_serial_line(const State& st, Borrowed port) {
    Ref make = Ref::steal(PyObject_GetAttr(st.serial_module, st.names.serial_for_url));
    if (!make) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, port));
    if (!args) return nullptr;
    // exclusive: where pyserial can lock (a device it opens itself), the
    // lock comes before it configures the line.
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:i,s:i,s:s,s:i,s:d,s:O}", "do_not_open", Py_True, "baudrate", 115200,
                                          "bytesize", 8, "parity", "N", "stopbits", 1, "timeout", kReadSlice,
                                          "exclusive", Py_True));
    if (!kwargs) return nullptr;
    Ref serial = Ref::steal(PyObject_Call(make.get(), args.get(), kwargs.get()));
    if (!serial) return nullptr;
    if (!Ref::steal(PyObject_CallMethodNoArgs(serial.get(), st.names.open))) {
#ifndef KQ2741CTL_TTY
        raise_if_held(st, port);
#endif
        return nullptr;
    }
    return std::make_unique<SerialLine>(st, std::move(serial));
}

}  // namespace kq2741::package

#ifndef KQ2741CTL_TTY
namespace kq2741::package {

// Without terminals of our own (Windows), every port is the serial
// library's, whose open there is exclusive by itself.
std::unique_ptr<Line> open_line(const State& st, Borrowed port) {
    return open_serial_line(st, port);
}

}  // namespace kq2741::package
#endif
