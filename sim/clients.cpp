#include "clients.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "tty/holders.hpp"

namespace kq2741::sim {

Clients::Clients(const std::string& port) {
    struct stat device{};
    if (stat(port.c_str(), &device) != 0) throw std::system_error(errno, std::generic_category(), "stat " + port);
    device_ = device.st_rdev;
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1");
    // An open that fails (EBUSY under TIOCEXCL) reports neither event, and a
    // stat (lsof) or an O_PATH open neither, so the count stays true.
    if (inotify_add_watch(fd_, port.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        const int err = errno;
        close(fd_);
        throw std::system_error(err, std::generic_category(), "inotify_add_watch " + port);
    }
}

Clients::~Clients() {
    close(fd_);
}

Clients::Seen Clients::update() {
    Seen seen;
    bool closed = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EAGAIN: nothing more waits
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buf + at, sizeof event);
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW)
                throw std::runtime_error("lost count of the port's clients: the inotify queue overflowed");
            if (event.mask & IN_OPEN && open_++ == 0) seen.arrived = true;
            if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                closed = true;
                if (open_ > 0 && --open_ == 0) seen.all_left = true;
            }
        }
    }
    // inotify merges identical events that wait unread: two clients closing
    // back to back can come as one close, two opening as one open, and the
    // count drifts. After a close, /proc says whether anyone still has the
    // port (opens are not looked up: the new client's request waits for
    // nothing). A client this simulator may not look at in /proc (another
    // user's, the simulator not being root) is not seen there.
    if (closed) {
        const bool someone = !kq2741::tty::other_holders(device_).empty();
        if (!someone && open_ > 0) {
            open_ = 0;
            seen.all_left = true;
        } else if (someone && open_ == 0) {
            open_ = 1;
            seen.all_left = false;
        }
    }
    return seen;
}

}  // namespace kq2741::sim
