// Any serial object pyserial can open that is not a local terminal
// (socket://, rfc2217://, loop://): exchanged through its own read and
// write, which release the GIL while they wait.
#include <algorithm>

#include "line.hpp"

namespace kqctl {
namespace {

class SerialLine final : public Line {
public:
    SerialLine(const State& st, Borrowed serial) : st_(st), serial_(serial) {}

protected:
    bool drop_waiting(Transcript*) override {
        return static_cast<bool>(Ref::steal(PyObject_CallMethodNoArgs(serial_, st_.names.reset_input_buffer)));
    }
    bool send(std::span<const std::uint8_t> request, Clock::time_point) override {
        Ref frame = bytes_of(request);
        return frame && Ref::steal(PyObject_CallMethodOneArg(serial_, st_.names.write, frame.get()));
    }
    bool listen(protocol::AnswerSearch& search, Clock::time_point deadline, Transcript* transcript) override;

private:
    const State& st_;
    Borrowed serial_;  // the Attenuator owns it, and this line
};

bool SerialLine::listen(protocol::AnswerSearch& search, Clock::time_point deadline, Transcript* transcript) {
    // Each read returns with the first byte, or after the serial object's
    // own short time-out; the deadline is kept here. What has arrived is
    // always read, however late the first look.
    do {
        Ref waiting = Ref::steal(PyObject_GetAttr(serial_, st_.names.in_waiting));
        if (!waiting) return false;
        const Py_ssize_t n = PyNumber_AsSsize_t(waiting.get(), PyExc_OverflowError);
        if (n < 0 && PyErr_Occurred()) return false;
        Ref wanted = Ref::steal(PyLong_FromSsize_t(std::max<Py_ssize_t>(n, 1)));
        if (!wanted) return false;
        Ref data = Ref::steal(PyObject_CallMethodOneArg(serial_, st_.names.read, wanted.get()));
        if (!data) return false;
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data.get(), &bytes, &size) < 0) return false;
        const std::span<const std::uint8_t> got{reinterpret_cast<const std::uint8_t*>(bytes), static_cast<std::size_t>(size)};
        if (took(search, got, deadline, transcript)) return true;
    } while (Clock::now() < deadline);
    return true;
}

}  // namespace

std::unique_ptr<Line> serial_line(const State& st, Borrowed serial) {
    return std::make_unique<SerialLine>(st, serial);
}

}  // namespace kqctl
