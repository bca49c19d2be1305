#include "pty.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace kq2741::sim {
namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Bits that change bytes on their way through the line discipline.
bool is_raw(const termios& t) {
    return !(t.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON)) &&
           !(t.c_oflag & OPOST) && !(t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN)) &&
           (t.c_cflag & (CSIZE | PARENB)) == CS8;
}

}  // namespace

Pty::Pty() {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd_ < 0) fail("posix_openpt");
    if (grantpt(fd_) != 0 || unlockpt(fd_) != 0) fail("grantpt/unlockpt");
    const char* name = ptsname(fd_);
    if (!name) fail("ptsname");
    port_ = name;
    int fl = fcntl(fd_, F_GETFL);
    if (fl < 0 || fcntl(fd_, F_SETFL, fl | O_NONBLOCK) != 0) fail("fcntl O_NONBLOCK");
    if (fcntl(fd_, F_SETFD, FD_CLOEXEC) != 0) fail("fcntl FD_CLOEXEC");
    if (!ensure_raw()) fail("raw mode");
    // Opened before any client can claim the port, and parked: a client's
    // busy check (lsof PORT, in the kq2741 module) must find no holder.
    const int slave = open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) fail("open the slave side");
    slave_.emplace(slave);
}

Pty::~Pty() {
    slave_.reset();
    if (fd_ >= 0) close(fd_);
}

bool Pty::ensure_raw() {
    // Termios calls on the master act on the slave's settings.
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    if (is_raw(t)) return true;
    cfmakeraw(&t);
    return tcsetattr(fd_, TCSANOW, &t) == 0;
}

void Pty::discard_unread() {
    // Flushing from the master side leaves the slave's input queue alone.
    slave_->use([](int slave) { tcflush(slave, TCIFLUSH); });
}

void Pty::end_exclusive_use() {
    slave_->use([](int slave) { ioctl(slave, TIOCNXCL); });
}

}  // namespace kq2741::sim
