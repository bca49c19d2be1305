// A local terminal: held through the shared tty::Port, exchanged on its
// descriptor with the GIL released, so a waiting exchange never holds up
// other Python threads, and a signal's Python handler runs at once.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "cpython/ref.hpp"
#include "line.hpp"
#include "tty/line.hpp"
#include "tty/port.hpp"

namespace kq2741::package {
namespace {

class PythonWaiter final : public tty::Waiter {
public:
    int wait(pollfd& p, const timespec& span) noexcept override {
        int r;
        Py_BEGIN_ALLOW_THREADS
        r = ppoll(&p, 1, &span, nullptr);
        Py_END_ALLOW_THREADS
        return r;
    }
    // KeyboardInterrupt, or whatever the handler raised, ends the exchange.
    bool interrupted() noexcept override { return PyErr_CheckSignals() < 0; }
};

// The serial library's words for a port it cannot open:
// SerialException(errno, "could not open port PORT: [Errno 2] ...: 'PORT'").
void raise_cannot_open(const State& st, Borrowed port, int error) {
    Ref os_error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", error, std::strerror(error), port));
    if (!os_error) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("could not open port %U: %S", port, os_error.get()));
    if (!message) return;
    Ref exception = Ref::steal(PyObject_CallFunction(st.serial_exception, "iO", error, message.get()));
    if (exception) PyErr_SetObject(st.serial_exception, exception.get());
}

void raise_busy(const State& st, Borrowed port, const tty::OpenError& why, const std::string& path) {
    Ref message = Ref::steal(PyUnicode_DecodeFSDefault(why.message(path).c_str()));
    if (!message) return;
    Ref busy = Ref::steal(PyObject_CallOneArg(st.port_busy, message.get()));
    if (!busy) return;
    // What the system said, as the cause: EBUSY from the open when the
    // kernel refused it (TIOCEXCL), EWOULDBLOCK when the lock was taken.
    Ref cause = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", why.error, std::strerror(why.error), port));
    if (!cause) return;
    PyException_SetCause(busy.get(), cause.release());
    PyErr_SetObject(st.port_busy, busy.get());
}

class TtyLine final : public Line {
public:
    TtyLine(const State& st, tty::Port port) : st_(st), port_(std::move(port)), line_(port_.fd(), waiter_) {}

    protocol::Transport& transport() override { return line_; }

    void raise_failure() override {
        if (PyErr_Occurred()) return;
        const int error = line_.failed_error();
        if (error)
            PyErr_Format(st_.serial_exception, "%s: [Errno %d] %s", line_.failed_doing(), error, std::strerror(error));
        else
            PyErr_Format(st_.serial_exception, "%s: the port was closed (device disconnected?)", line_.failed_doing());
    }

    bool close() override {
        port_.release();
        return true;
    }

private:
    const State& st_;
    tty::Port port_;
    PythonWaiter waiter_;
    tty::Line line_;
};

}  // namespace

std::unique_ptr<Line> open_tty_line(const State& st, Borrowed port, const std::string& path) {
    tty::OpenError why{};
    auto held = tty::Port::open(path, why);
    if (held) return std::make_unique<TtyLine>(st, std::move(*held));
    if (why.kind == tty::OpenError::Kind::Busy) raise_busy(st, port, why, path);
    else raise_cannot_open(st, port, why.error ? why.error : EIO);
    return nullptr;
}

std::unique_ptr<Line> open_line(const State& st, Borrowed port) {
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(port));
    if (!bytes) return nullptr;
    const std::string path(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    // A device: held and exchanged here. A URL, a name that is no device
    // (missing: the serial library says so in its own words) goes to pyserial.
    struct stat device{};
    if (path.find("://") == std::string::npos && path.find('\0') == std::string::npos &&
        stat(path.c_str(), &device) == 0 && S_ISCHR(device.st_mode))
        return open_tty_line(st, port, path);
    return open_serial_line(st, port);
}

}  // namespace kq2741::package
