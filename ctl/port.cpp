#include "port.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "cleanup.hpp"
#include "failure.hpp"
#include "tty/holders.hpp"

namespace kq2741ctl {

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
        if (err == EBUSY) busy();
        errno = err;
        fail("cannot open");
    }
    if (!isatty(fd_)) {
        close(fd_);
        throw Failure(Exit::Port, path_ + " is not a serial port: check the port name");
    }
    claim();
    set_line();
}

Port::~Port() {
    cleanup::watch_port(-1);
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    close(fd_);
}

void Port::claim() {
    // flock keeps out every program that asks first (another kq2741ctl,
    // pyserial's exclusive=True); TIOCEXCL makes the kernel refuse any other
    // open, asked or not.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) busy();
        fail("cannot lock");
    }
    if (ioctl(fd_, TIOCEXCL) != 0) fail("cannot claim exclusive use of");
    exclusive_ = true;
    cleanup::watch_port(fd_);
}

void Port::set_line() {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) fail("cannot read the line settings of");
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

void Port::fail(const std::string& what) const {
    const std::string message = what + " " + path_ + ": " + std::strerror(errno);
    if (fd_ >= 0) {
        if (exclusive_) ioctl(fd_, TIOCNXCL);
        close(fd_);
    }
    cleanup::watch_port(-1);
    throw Failure(Exit::Port, message);
}

void Port::busy() const {
    const std::string who = kq2741::tty::other_holders(path_);
    if (fd_ >= 0) close(fd_);
    throw Failure(Exit::Port, path_ + " is held by another program" + (who.empty() ? "" : ": " + who) +
                                  "; wait for it to finish or stop it");
}

}  // namespace kq2741ctl
