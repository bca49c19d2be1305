#include "link_claim.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kq2741::sim {
namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// The same link reached from another working directory, or through a
// symlinked folder, names the same claim: the folder is resolved, the last
// part kept as written (it is the link itself, pointing at a port).
std::string full_path(const std::string& link) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path path = fs::absolute(link, ec);
    if (ec) return link;
    path = path.lexically_normal();
    const fs::path folder = fs::weakly_canonical(path.parent_path(), ec);
    return ec ? path.string() : (folder / path.filename()).string();
}

struct Address {
    sockaddr_un un{};
    socklen_t size = 0;
};

// "@kq2741-sim /tmp/kq2741" in `ss -xlp`; a path too long for the name
// stands in as its FNV-1a hash.
Address claim_address(const std::string& link) {
    std::string name = "kq2741-sim " + full_path(link);
    Address a;
    a.un.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof a.un.sun_path) {
        std::uint64_t h = 14695981039346656037ull;
        for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
        name = std::string("kq2741-sim #") + hex;
    }
    // sun_path[0] stays 0: the abstract namespace, no file on disk.
    const std::size_t copied = name.copy(a.un.sun_path + 1, sizeof a.un.sun_path - 1);
    a.size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + copied);
    return a;
}

int stream_socket() {
    return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

// The owner never accepts: a connection waits in its backlog, and the kernel
// names the process that listens (SO_PEERCRED) and hangs the connection up
// when that process ends. Only --stop connects, and a stop that succeeds ends
// the owner with its backlog; the room is for stops refused or still waiting.
constexpr int kBacklog = 64;

// How long an owner that is ending may take to let go of the name.
constexpr std::chrono::milliseconds kOwnerEnding{500};

bool connect_owner(const Address& a, int fd, pid_t& pid) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a.un), a.size) != 0) return false;
    ucred cred{};
    socklen_t size = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return false;
    pid = cred.pid;
    return true;
}

bool hung_up(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    int n;
    while ((n = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

// SIGTERM to pid, sure to reach the owner and not a process that has since
// taken over a recycled id: the pidfd is opened first, and the connection
// still up after that proves the owner was alive when it was.
int terminate(pid_t pid, int connection) {
#ifdef SYS_pidfd_open
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        Fd owned(pidfd);
        if (hung_up(connection, 0)) return ESRCH;
        return syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0) == 0 ? 0 : errno;
    }
#endif
    if (hung_up(connection, 0)) return ESRCH;
    return kill(pid, SIGTERM) == 0 ? 0 : errno;
}

}  // namespace

std::optional<LinkClaim> LinkClaim::take(const std::string& link) {
    const Address a = claim_address(link);
    // A simulator killed a moment ago holds the name until its exit has
    // closed every descriptor, which can come after its port is already
    // gone: a restart right after (a replug, a test) must not be refused
    // for it. An owner that is ending hangs up a connection; a live one
    // never does, so it is refused once this wait is over.
    const auto deadline = std::chrono::steady_clock::now() + kOwnerEnding;
    for (;;) {
        Fd fd(stream_socket());
        if (fd.fd < 0) fail("socket");
        if (bind(fd.fd, reinterpret_cast<const sockaddr*>(&a.un), a.size) == 0) {
            if (listen(fd.fd, kBacklog) != 0) fail("listen");
            LinkClaim claim(fd.fd);
            fd.fd = -1;
            return claim;
        }
        if (errno != EADDRINUSE) fail("bind");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        Fd probe(stream_socket());
        if (probe.fd < 0) fail("socket");
        pid_t pid = 0;
        if (connect_owner(a, probe.fd, pid)) {
            if (!hung_up(probe.fd, static_cast<int>(left.count()))) return std::nullopt;
        } else {
            // Bound but not listening: ending, or another one starting.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

LinkClaim::LinkClaim(LinkClaim&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

LinkClaim& LinkClaim::operator=(LinkClaim&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

LinkClaim::~LinkClaim() {
    if (fd_ >= 0) close(fd_);
}

StopResult stop_owner(const std::string& link, std::chrono::milliseconds wait) {
    using Kind = StopResult::Kind;
    const Address a = claim_address(link);
    Fd fd(stream_socket());
    if (fd.fd < 0) return {Kind::Failed, 0, std::string("socket: ") + std::strerror(errno)};
    pid_t pid = 0;
    if (!connect_owner(a, fd.fd, pid)) {
        if (errno == ECONNREFUSED || errno == ENOENT) return {Kind::NoOwner, 0, {}};
        return {Kind::Failed, 0, std::string("reaching its simulator: ") + std::strerror(errno)};
    }
    switch (const int err = terminate(pid, fd.fd)) {
    case 0: break;
    case ESRCH: return {Kind::Stopped, pid, {}};
    case EPERM: return {Kind::NotPermitted, pid, {}};
    default: return {Kind::Failed, pid, std::string("signalling it: ") + std::strerror(err)};
    }
    const auto ms = static_cast<int>(wait.count());
    return {hung_up(fd.fd, ms) ? Kind::Stopped : Kind::StillRunning, pid, {}};
}

}  // namespace kq2741::sim
