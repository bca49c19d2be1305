#include "tty/line.hpp"

#include <cerrno>
#include <unistd.h>

namespace kq2741::tty {

Line::Io Line::fail(const char* doing, int error) {
    doing_ = doing;
    error_ = error;
    return Io::Failed;
}

Line::Read Line::read_some(std::uint8_t* buf, std::size_t size, std::size_t& got) {
    for (;;) {
        const ssize_t n = read(fd_, buf, size);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Read::Data;
        }
        if (n < 0 && errno == EINTR) {
            if (waiter_.interrupted()) return Read::Interrupted;
            continue;
        }
        if (n < 0 && errno == EAGAIN) return Read::Empty;
        if (n < 0) {
            fail("read failed", errno);
            return Read::Failed;
        }
        // 0 bytes: a hang-up, or an empty line under VMIN 0, which another
        // program may have set on the shared terminal; poll() tells which.
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) return Read::Empty;
        fail("read failed", 0);
        return Read::Failed;
    }
}

Line::Io Line::drain(Sink sink) {
    std::uint8_t buf[512];
    for (;;) {
        std::size_t got = 0;
        switch (read_some(buf, sizeof buf, got)) {
        case Read::Data: sink({buf, got}); continue;
        case Read::Empty: return Io::Done;
        case Read::Failed: return Io::Failed;
        case Read::Interrupted: return Io::Interrupted;
        }
    }
}

Line::Io Line::send(std::span<const std::uint8_t> frame, Clock::time_point deadline) {
    for (std::size_t sent = 0; sent < frame.size();) {
        const ssize_t n = write(fd_, frame.data() + sent, frame.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            if (waiter_.interrupted()) return Io::Interrupted;
            continue;
        }
        if (n < 0 && errno != EAGAIN) return fail("write failed", errno);
        bool ready = false;
        if (const Io io = wait(POLLOUT, deadline, ready); io != Io::Done) return io;
        if (!ready) return Io::TimedOut;
    }
    return Io::Done;
}

Line::Io Line::listen(const Clock::time_point& deadline, Sink sink) {
    std::uint8_t buf[512];
    for (;;) {
        std::size_t got = 0;
        switch (read_some(buf, sizeof buf, got)) {
        case Read::Data:
            if (sink({buf, got})) return Io::Done;
            continue;
        case Read::Failed: return Io::Failed;
        case Read::Interrupted: return Io::Interrupted;
        case Read::Empty: break;
        }
        bool ready = false;
        if (const Io io = wait(POLLIN, deadline, ready); io != Io::Done) return io;
        if (!ready) return Io::Done;
    }
}

Line::Io Line::wait(short events, const Clock::time_point& deadline, bool& ready) {
    for (;;) {
        ready = false;
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return Io::Done;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec span{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd p{fd_, events, 0};
        const int r = waiter_.wait(p, span);
        if (r >= 0) {
            // Ready, or an error (a hang-up) that the next read or write reports.
            ready = r > 0;
            return Io::Done;
        }
        if (errno != EINTR) return fail("poll failed", errno);
        if (waiter_.interrupted()) return Io::Interrupted;
    }
}

}  // namespace kq2741::tty
