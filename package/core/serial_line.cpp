// Any serial object pyserial can open that is not a local terminal
// (socket://, rfc2217://, loop://): exchanged through its own read and
// write, which release the GIL while they wait.
#include <algorithm>

#include "line.hpp"

namespace kqctl {
namespace {

class SerialLine final : public Line {
public:
    explicit SerialLine(Borrowed serial) : serial_(serial) {}

protected:
    bool drop_waiting(Transcript*) override {
        return static_cast<bool>(Ref::steal(PyObject_CallMethod(serial_, "reset_input_buffer", nullptr)));
    }
    bool send(std::span<const std::uint8_t> request, Clock::time_point) override {
        return static_cast<bool>(Ref::steal(PyObject_CallMethod(
            serial_, "write", "y#", reinterpret_cast<const char*>(request.data()), static_cast<Py_ssize_t>(request.size()))));
    }
    bool listen(protocol::AnswerSearch& search, Clock::time_point deadline, Transcript* transcript) override;

private:
    Borrowed serial_;  // the Attenuator owns it, and this line
};

bool SerialLine::listen(protocol::AnswerSearch& search, Clock::time_point deadline, Transcript* transcript) {
    // Each read returns with the first byte, or after the serial object's
    // own short time-out; the deadline is kept here.
    while (Clock::now() < deadline) {
        Ref waiting = Ref::steal(PyObject_GetAttrString(serial_, "in_waiting"));
        if (!waiting) return false;
        const Py_ssize_t n = PyNumber_AsSsize_t(waiting.get(), PyExc_OverflowError);
        if (n < 0 && PyErr_Occurred()) return false;
        Ref data = Ref::steal(PyObject_CallMethod(serial_, "read", "n", std::max<Py_ssize_t>(n, 1)));
        if (!data) return false;
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data.get(), &bytes, &size) < 0) return false;
        const std::span<const std::uint8_t> got{reinterpret_cast<const std::uint8_t*>(bytes), static_cast<std::size_t>(size)};
        if (took(search, got, deadline, transcript)) return true;
    }
    return true;
}

}  // namespace

std::unique_ptr<Line> serial_line(const State&, Borrowed serial) {
    return std::make_unique<SerialLine>(serial);
}

}  // namespace kqctl
