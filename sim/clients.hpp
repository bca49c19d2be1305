// Who has the port open, followed through inotify. While the simulator holds
// the slave side itself (to take back what a departed client left set), the
// master no longer reports the last client's close, so opens and closes of
// the slave's device file are counted instead, and after a close /proc is
// asked whether anyone still has it. Linux only.
#pragma once

#include <string>
#include <sys/types.h>

namespace kq2741::sim {

class Clients {
public:
    // Watches the device at port. Throws std::system_error.
    explicit Clients(const std::string& port);
    ~Clients();
    Clients(const Clients&) = delete;
    Clients& operator=(const Clients&) = delete;

    int fd() const { return fd_; }  // readable when opens or closes wait

    struct Seen {
        bool all_left = false;  // the count fell to zero
        bool arrived = false;   // it rose from zero
    };
    // Takes every waiting event, in order; never blocks. Throws
    // std::runtime_error if the kernel dropped events (the count is lost).
    Seen update();
    bool present() const { return open_ > 0; }

private:
    int fd_ = -1;
    dev_t device_ = 0;
    unsigned open_ = 0;
};

}  // namespace kq2741::sim
