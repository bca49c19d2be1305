#include "port.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cleanup.hpp"
#include "failure.hpp"
#include "tty/holders.hpp"

namespace kq2741ctl {
namespace {

std::string holders_of(int fd) {
    struct stat st{};
    if (fstat(fd, &st) != 0) return "";
    return kq2741::tty::other_holders(st.st_rdev);
}

}  // namespace

Port::Port(std::string path) : path_(std::move(path)) {
    // O_NONBLOCK: a modem line without carrier would block the open, and the
    // reads wait in poll() with the time-out anyway.
    fd_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        const int err = errno;
        if (err == ENOENT)
            throw Failure(Exit::Port, "no port " + path_ +
                                          ": check the port name (-p or KQ2741_PORT) and that the "
                                          "adapter is plugged in");
        if (err == EACCES)
            throw Failure(Exit::Port, "no permission to open " + path_ +
                                          ": add your user to the port's group (often dialout) and "
                                          "log in again");
        if (err == EBUSY) busy(kq2741::tty::other_holders(path_));
        errno = err;
        fail("cannot open");
    }
    if (!isatty(fd_)) {
        release();
        throw Failure(Exit::Port, path_ + " is not a serial port: check the port name");
    }
    termios found{};
    if (tcgetattr(fd_, &found) != 0) fail("cannot read the line settings of");
    found_ = found;
    claim();
    refuse_if_shared();
    set_line();
}

Port::~Port() {
    release();
}

void Port::claim() {
    // flock keeps out every program that asks first (another kq2741ctl,
    // pyserial's exclusive=True); TIOCEXCL makes the kernel refuse any later
    // open, asked or not, except by root.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) busy(holders_of(fd_));
        fail("cannot lock");
    }
    locked_ = true;
    if (ioctl(fd_, TIOCEXCL) != 0) fail("cannot claim exclusive use of");
    exclusive_ = true;
    cleanup::watch_port(fd_, *found_);
}

void Port::refuse_if_shared() {
    // Neither lock keeps out a program that opened the port before us and
    // asked for nothing: pyserial without exclusive=True, the kq2741 module.
    // Looked for after TIOCEXCL, so none can slip in once we have looked.
    const std::string holders = holders_of(fd_);
    if (!holders.empty()) busy(holders);
}

void Port::set_line() {
    termios t = *found_;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    // With VMIN 0 a read of an empty line returns 0 like a hang-up does;
    // with 1 (and O_NONBLOCK) it fails with EAGAIN, and 0 means hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) fail("cannot set 115200 8N1 on");
}

void Port::release() noexcept {
    if (fd_ < 0) return;
    cleanup::unwatch_port();
    // Like terminal programs, leave the line as it was found (a cooked
    // terminal stays usable when it was named by mistake).
    if (found_) tcsetattr(fd_, TCSANOW, &*found_);
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    if (locked_) flock(fd_, LOCK_UN);
    close(fd_);
    fd_ = -1;
}

void Port::fail(const std::string& what) {
    const std::string message = what + " " + path_ + ": " + std::strerror(errno);
    release();
    throw Failure(Exit::Port, message);
}

void Port::busy(const std::string& holders) {
    release();
    throw Failure(Exit::Port, kq2741::tty::busy_message(path_, holders));
}

}  // namespace kq2741ctl
