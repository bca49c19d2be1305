#include "clients.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/inotify.h>
#include <system_error>
#include <unistd.h>

namespace kq2741sim {

Clients::Clients(const std::string& port) {
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
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return seen;  // EAGAIN: nothing more waits
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buf + at, sizeof event);
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW)
                throw std::runtime_error("lost count of the port's clients: the inotify queue overflowed");
            if (event.mask & IN_OPEN && open_++ == 0) seen.arrived = true;
            if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) && open_ > 0 && --open_ == 0)
                seen.all_left = true;
        }
    }
}

}  // namespace kq2741sim
