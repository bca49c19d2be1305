// Which simulator owns a --link: the one listening on a socket named after the
// link's full path in the abstract namespace. The kernel drops the name the
// moment its holder dies, however it dies, so a live owner is always found, a
// dead one never, and no file is left behind to go stale.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>

namespace kq2741::sim {

class LinkClaim {
public:
    // The claim on link, or nullopt when a live simulator holds it. Throws
    // std::system_error when the socket cannot be made.
    static std::optional<LinkClaim> take(const std::string& link);

    LinkClaim(LinkClaim&& other) noexcept;
    LinkClaim& operator=(LinkClaim&& other) noexcept;
    ~LinkClaim();

private:
    explicit LinkClaim(int fd) : fd_(fd) {}
    int fd_ = -1;
};

struct StopResult {
    enum class Kind {
        Stopped,       // it has ended, the link removed
        NoOwner,       // no live simulator holds the link
        NotPermitted,  // another user's
        StillRunning,  // signalled, but still there when the wait ran out
        Failed,        // a system call failed (error says which)
    };
    Kind kind;
    pid_t pid = 0;
    std::string error;
};

// SIGTERM to the simulator that owns link, then waits up to `wait` for it to end.
StopResult stop_owner(const std::string& link, std::chrono::milliseconds wait);

}  // namespace kq2741::sim
