// The fast path: a terminal's descriptor, read and written directly with the
// GIL released, so a waiting exchange never holds up other Python threads.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "line.hpp"
#include "tty/holders.hpp"

namespace kqctl {
namespace {

class FdLine final : public Line {
public:
    FdLine(const State& st, Borrowed serial, int fd) : st_(st), serial_(serial), fd_(fd) {}
    ~FdLine() override { release(); }

    bool claim(const std::string& port);
    void release() noexcept override;

protected:
    bool drop_waiting(Transcript* transcript) override;
    bool send(std::span<const std::uint8_t> request, Clock::time_point deadline) override;
    bool listen(protocol::AnswerSearch& search, Clock::time_point deadline, Transcript* transcript) override;

private:
    // Waits, with the GIL released, until the descriptor is ready for
    // events or the deadline passes (ready false). A signal's Python handler
    // runs at once; false when it raised (KeyboardInterrupt).
    bool wait(short events, Clock::time_point deadline, bool& ready);
    // The line failed: the serial library tells it in its own words.
    bool failed(const char* doing, int error, std::span<const std::uint8_t> request = {});
    bool busy(const std::string& port, const std::string& who);

    const State& st_;
    Borrowed serial_;  // the Attenuator owns it, and this line
    int fd_;
    bool locked_ = false;
    bool exclusive_ = false;
};

bool FdLine::busy(const std::string& port, const std::string& who) {
    PyErr_SetString(st_.port_busy, kq2741::tty::busy_message(port, who).c_str());
    return false;
}

bool FdLine::claim(const std::string& port) {
    // flock keeps out every program that asks first (kq2741ctl, pyserial's
    // exclusive=True); TIOCEXCL makes the kernel refuse any later open, asked
    // or not; a program that took no lock and opened the port before us is
    // found in /proc.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return busy(port, kq2741::tty::other_holders(port));
        PyErr_Format(st_.serial_exception, "cannot lock %s: %s", port.c_str(), std::strerror(errno));
        return false;
    }
    locked_ = true;
    exclusive_ = ioctl(fd_, TIOCEXCL) == 0;
    struct stat device{};
    if (fstat(fd_, &device) == 0) {
        const std::string who = kq2741::tty::other_holders(device.st_rdev);
        if (!who.empty()) return busy(port, who);
    }
    // Non-blocking reads with VMIN 1: an empty line reads as EAGAIN, and
    // only a hang-up reads as 0 bytes.
    termios t{};
    const int flags = fcntl(fd_, F_GETFL);
    bool configured = flags >= 0 && fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0 && tcgetattr(fd_, &t) == 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (!configured || tcsetattr(fd_, TCSANOW, &t) != 0) {
        PyErr_Format(st_.serial_exception, "cannot configure %s: %s", port.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void FdLine::release() noexcept {
    // TIOCEXCL outlives the descriptor on a pseudo-terminal: take it off.
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    if (locked_) flock(fd_, LOCK_UN);
    exclusive_ = locked_ = false;
}

bool FdLine::wait(short events, Clock::time_point deadline, bool& ready) {
    for (;;) {
        ready = false;
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec span{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd p{fd_, events, 0};
        int r;
        Py_BEGIN_ALLOW_THREADS
        r = ppoll(&p, 1, &span, nullptr);
        Py_END_ALLOW_THREADS
        if (r >= 0) {
            // Ready, or an error the next read or write reports.
            ready = r > 0;
            return true;
        }
        if (errno != EINTR) return failed("poll failed", errno);
        if (PyErr_CheckSignals() < 0) return false;
    }
}

bool FdLine::drop_waiting(Transcript* transcript) {
    // A late answer to an earlier request must not be read as this one's.
    std::uint8_t buf[512];
    for (;;) {
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) {
            if (transcript) transcript->dropped({buf, static_cast<std::size_t>(n)});
            continue;
        }
        if (n < 0 && errno == EAGAIN) return true;
        if (n < 0 && errno == EINTR) {
            if (PyErr_CheckSignals() < 0) return false;
            continue;
        }
        return failed("read failed", n < 0 ? errno : 0);
    }
}

bool FdLine::send(std::span<const std::uint8_t> request, Clock::time_point deadline) {
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = write(fd_, request.data() + sent, request.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return failed("write failed", errno, request);
        if (n < 0 && errno == EINTR) {
            if (PyErr_CheckSignals() < 0) return false;
            continue;
        }
        bool ready = false;
        if (!wait(POLLOUT, deadline, ready)) return false;
        if (!ready) {
            PyErr_SetString(st_.no_answer, "could not send the request within the time-out: check the cable and "
                                           "the flow control of the adapter");
            return false;
        }
    }
    return true;
}

bool FdLine::listen(protocol::AnswerSearch& search, Clock::time_point deadline, Transcript* transcript) {
    std::uint8_t buf[512];
    for (;;) {
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) {
            if (took(search, {buf, static_cast<std::size_t>(n)}, deadline, transcript)) return true;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            if (PyErr_CheckSignals() < 0) return false;
            continue;
        }
        if (n == 0 || errno != EAGAIN) return failed("read failed", n < 0 ? errno : 0);
        bool ready = false;
        if (!wait(POLLIN, deadline, ready)) return false;
        if (!ready) return true;
    }
}

bool FdLine::failed(const char* doing, int error, std::span<const std::uint8_t> request) {
    // Doing through the serial library what just failed here makes it raise
    // the error a caller of pyserial knows, as it would without this path.
    Ref again = request.empty()
                    ? Ref::steal(PyObject_CallMethod(serial_, "read", "i", 1))
                    : Ref::steal(PyObject_CallMethod(serial_, "write", "y#", reinterpret_cast<const char*>(request.data()),
                                                     static_cast<Py_ssize_t>(request.size())));
    if (!again) return false;
    if (error) PyErr_Format(st_.serial_exception, "%s: [Errno %d] %s", doing, error, std::strerror(error));
    else PyErr_Format(st_.serial_exception, "%s: the port was closed (device disconnected?)", doing);
    return false;
}

}  // namespace

std::unique_ptr<Line> fd_line(const State& st, Borrowed serial, int fd, const std::string& port) {
    auto line = std::make_unique<FdLine>(st, serial, fd);
    if (!line->claim(port)) return nullptr;
    return line;
}

}  // namespace kqctl
