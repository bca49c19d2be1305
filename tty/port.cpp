#include "tty/port.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "tty/holders.hpp"

namespace kq2741::tty {

std::string OpenError::message(const std::string& path) const {
    switch (kind) {
    case Kind::Busy:
        if (here) return path + " is already open in this program (another Attenuator on it?)";
        return busy_message(path, holders);
    case Kind::Missing: return "no port " + path;
    case Kind::NoPermission: return "no permission to open " + path;
    case Kind::NotATerminal: return path + " is not a serial port";
    case Kind::Failed: break;
    }
    return doing + " " + path + ": " + std::strerror(error);
}

std::optional<Port> Port::open(const std::string& path, OpenError& why) {
    // A descriptor of our own on the device: another user inside this
    // program (pyserial, the kq2741 module). Found before opening, since
    // opening is where a serial library would change the line.
    struct stat device{};
    if (stat(path.c_str(), &device) == 0 && S_ISCHR(device.st_mode) && open_here_besides(device.st_rdev, -1)) {
        why = OpenError::busy(EBUSY, "", true);
        return std::nullopt;
    }
    // O_NONBLOCK: a modem line without carrier would block the open, and
    // reads wait in poll() with the time-out anyway.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT) why = OpenError::of(OpenError::Kind::Missing, err);
        else if (err == EACCES) why = OpenError::of(OpenError::Kind::NoPermission, err);
        else if (err == EBUSY) why = OpenError::busy(err, other_holders(path), false);
        else why = OpenError::failed(err, "cannot open");
        return std::nullopt;
    }
    Port port(path, fd);
    port.opener_ = getpid();
    if (!isatty(fd)) {
        why = OpenError::of(OpenError::Kind::NotATerminal, ENOTTY);
        return std::nullopt;
    }
    if (!port.claim(why) || !port.set_line(why)) return std::nullopt;
    return port;
}

Port::Port(Port&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)), found_(other.found_),
      found_known_(std::exchange(other.found_known_, false)), locked_(std::exchange(other.locked_, false)),
      exclusive_(std::exchange(other.exclusive_, false)), opener_(other.opener_) {}

bool Port::claim(OpenError& why) {
    struct stat device{};
    const bool known = fstat(fd_, &device) == 0;
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err != EWOULDBLOCK) {
            why = OpenError::failed(err, "cannot lock");
            return false;
        }
        why = OpenError::busy(err, known ? other_holders(device.st_rdev) : "",
                              known && open_here_besides(device.st_rdev, fd_));
        return false;
    }
    locked_ = true;
    if (ioctl(fd_, TIOCEXCL) != 0) {
        why = OpenError::failed(errno, "cannot claim exclusive use of");
        return false;
    }
    exclusive_ = true;
    // Looked for after TIOCEXCL, so none can slip in once we have looked.
    if (known) {
        std::string holders = other_holders(device.st_rdev);
        const bool here = open_here_besides(device.st_rdev, fd_);
        if (!holders.empty() || here) {
            why = OpenError::busy(EBUSY, std::move(holders), here);
            return false;
        }
    }
    return true;
}

bool Port::set_line(OpenError& why) {
    if (tcgetattr(fd_, &found_) != 0) {
        why = OpenError::failed(errno, "cannot read the line settings of");
        return false;
    }
    found_known_ = true;
    termios t = found_;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    // With VMIN 1 (and O_NONBLOCK) an empty line reads as EAGAIN. Another
    // program may set VMIN 0 on the shared terminal, where an empty line
    // reads as 0 bytes like a hang-up; Line asks poll() which it was.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
        why = OpenError::failed(errno, "cannot set 115200 8N1 on");
        return false;
    }
    return true;
}

void Port::release_at_exit_signal(int fd, const termios& found) noexcept {
    tcsetattr(fd, TCSANOW, &found);
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
}

void Port::release() noexcept {
    if (fd_ < 0) return;
    if (getpid() == opener_) {
        // Like terminal programs, leave the line as it was found (a cooked
        // terminal named by mistake stays usable). TIOCEXCL outlives the
        // descriptor on a pseudo-terminal: take it off by hand.
        if (found_known_) tcsetattr(fd_, TCSANOW, &found_);
        if (exclusive_) ioctl(fd_, TIOCNXCL);
        if (locked_) flock(fd_, LOCK_UN);
    }
    close(fd_);
    fd_ = -1;
    found_known_ = locked_ = exclusive_ = false;
}

}  // namespace kq2741::tty
