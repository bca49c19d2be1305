#include "sim_process.hpp"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "failure.hpp"

extern char** environ;

namespace kq2741::ctl {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(5);
constexpr const char* kSimName = "kq2741-sim";

// The wheel installs both programs in one folder; a kq2741-sim found there
// belongs to this kq2741ctl, whatever PATH says.
std::string beside_this_program() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    std::string path(self, static_cast<std::size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + kSimName;
    return access(path.c_str(), X_OK) == 0 ? path : "";
}

struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
};

}  // namespace

SimProcess::SimProcess(const Trace& trace) : trace_(trace) {
    Pipe out, lifeline;
    if (pipe2(out.fd, O_CLOEXEC) != 0 || pipe2(lifeline.fd, O_CLOEXEC) != 0)
        throw Failure(Exit::Port, std::string("cannot start kq2741-sim: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, lifeline.fd[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);

    const std::string beside = beside_this_program();
    const std::string program = beside.empty() ? kSimName : beside;
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--stop-with-stdin"), nullptr};
    const int err = beside.empty()
                        ? posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv, environ)
                        : posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        pid_ = 0;
        throw Failure(Exit::Port, std::string("cannot start kq2741-sim (not beside kq2741ctl, "
                                              "nor on PATH): ") + std::strerror(err));
    }
    // Only we hold the lifeline's writing end, so it closes when we end,
    // however we end, and the simulator sees end of file and stops.
    lifeline_ = lifeline.fd[1];
    lifeline.fd[1] = -1;
    close(out.fd[1]);
    out.fd[1] = -1;
    try {
        read_port(out.fd[0]);
    } catch (...) {
        stop();
        throw;
    }
    if (trace_.on())
        trace_.line("--", {}, "started " + program + " (pid " + std::to_string(pid_) + ") on " + port_);
}

SimProcess::~SimProcess() {
    stop();
}

void SimProcess::read_port(int from) {
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    std::string got;
    while (got.find('\n') == std::string::npos) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{from, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0)
            throw Failure(Exit::Port, "kq2741-sim printed no port within 5 s");
        char buf[256];
        const ssize_t n = read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw Failure(Exit::Port, "kq2741-sim ended before printing its port");
        got.append(buf, static_cast<std::size_t>(n));
    }
    port_ = got.substr(0, got.find('\n'));
}

void SimProcess::stop() {
    if (lifeline_ >= 0) close(lifeline_);
    lifeline_ = -1;
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (trace_.on()) trace_.line("--", {}, "stopped kq2741-sim (pid " + std::to_string(pid_) + ")");
    pid_ = 0;
}

}  // namespace kq2741::ctl
