#include "cleanup.hpp"

#include <atomic>
#include <csignal>
#include <initializer_list>

#include "tty/port.hpp"

namespace kq2741::ctl::cleanup {
namespace {

volatile std::sig_atomic_t g_port_fd = -1;
termios g_found{};

void on_signal(int sig) {
    // Everything here is async-signal-safe. TIOCEXCL stays on a
    // pseudo-terminal after its last user closes it, so it is taken off by
    // hand; process exit would drop the flock alone.
    const int fd = g_port_fd;
    if (fd >= 0) kq2741::tty::Port::release_at_exit_signal(fd, g_found);
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

void watch_port(int fd, const termios& found) {
    g_found = found;
    // The handler must see the settings complete before it sees the fd.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_port_fd = fd;
}

void unwatch_port() {
    g_port_fd = -1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace kq2741::ctl::cleanup
