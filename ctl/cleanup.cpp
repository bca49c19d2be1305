#include "cleanup.hpp"

#include <csignal>
#include <initializer_list>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace kq2741ctl::cleanup {
namespace {

volatile std::sig_atomic_t g_port_fd = -1;
volatile std::sig_atomic_t g_child = 0;

void on_signal(int sig) {
    // TIOCEXCL stays on a pseudo-terminal after its last user closes it, so
    // it is taken off by hand; process exit would drop the flock alone.
    if (g_port_fd >= 0) {
        ioctl(g_port_fd, TIOCNXCL);
        flock(g_port_fd, LOCK_UN);
    }
    if (g_child > 0) kill(static_cast<pid_t>(g_child), SIGTERM);
    // SA_RESETHAND put the default action back; it ends us once we return.
    raise(sig);
}

}  // namespace

void install() {
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &sa, nullptr);
}

void watch_port(int fd) {
    g_port_fd = fd;
}

void watch_child(pid_t pid) {
    g_child = static_cast<std::sig_atomic_t>(pid);
}

}  // namespace kq2741ctl::cleanup
