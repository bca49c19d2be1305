#include "detach.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kq2741::sim {
namespace {

// Starting takes milliseconds; this only bounds a simulator stuck on the way.
constexpr auto kStartTimeout = std::chrono::seconds(10);

[[noreturn]] void parent_fails(pid_t child, const char* why) {
    std::fprintf(stderr, "kq2741-sim: --detach: %s: %s\n", why, std::strerror(errno));
    if (child > 0) kill(child, SIGTERM);
    std::exit(1);
}

// The child's exit status, as ours: it has said why on stderr.
[[noreturn]] void end_as(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) parent_fails(0, "waiting for the simulator");
    std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

[[noreturn]] void wait_for_port(pid_t child, int from) {
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    std::string got;
    while (got.find('\n') == std::string::npos) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{from, POLLIN, 0};
        const int n = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) parent_fails(child, "waiting for the port");
        if (n == 0) {
            std::fprintf(stderr, "kq2741-sim: --detach: no port within %lld s; simulator stopped\n",
                         static_cast<long long>(kStartTimeout.count()));
            kill(child, SIGKILL);
            end_as(child);
        }
        char buf[256];
        const ssize_t r = read(from, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) end_as(child);  // it ended before its port was ready
        got.append(buf, static_cast<std::size_t>(r));
    }
    std::fputs(got.c_str(), stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

bool is_pipe_or_socket(int fd) {
    struct stat st{};
    return fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

}  // namespace

Detached Detached::start() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) parent_fails(0, "pipe");
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) parent_fails(0, "fork");
    if (child > 0) {
        close(ends[1]);
        wait_for_port(child, ends[0]);
    }
    close(ends[0]);
    setsid();
    return Detached(ends[1]);
}

void Detached::ready(const char* port_line) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        if (is_pipe_or_socket(STDERR_FILENO)) dup2(null, STDERR_FILENO);
        close(null);
    }
    const std::size_t size = std::strlen(port_line);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd_, port_line + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd_);
    fd_ = -1;
}

Detached::~Detached() {
    if (fd_ >= 0) close(fd_);
}

}  // namespace kq2741::sim
