// kq2741-sim: a KQ2741 attenuator on a pseudo-terminal, for testing without hardware.
#include <csignal>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

#include "fsutil.hpp"
#include "model/responder.hpp"
#include "options.hpp"
#include "pty.hpp"
#include "server.hpp"

#ifndef KQ2741_VERSION
#define KQ2741_VERSION "unknown"
#endif

namespace {

volatile std::sig_atomic_t g_stop = 0;
int g_wake_fd = -1;

void on_stop_signal(int) {
    g_stop = 1;
    const char c = 0;
    [[maybe_unused]] ssize_t n = write(g_wake_fd, &c, 1);
}

bool install_signals(int wake_fd) {
    g_wake_fd = wake_fd;
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(sig, &sa, nullptr) != 0) return false;
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kq2741::sim;
    Options opts;
    try {
        opts = parse_options(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kq2741-sim: %s\n%s", e.what(), usage());
        return 2;
    }
    if (opts.help || opts.version) {
        std::fputs(opts.help ? usage() : "kq2741-sim " KQ2741_VERSION "\n", stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0 || !install_signals(wake[1])) {
        std::perror("kq2741-sim: signal setup");
        return 1;
    }

    std::string linked_port;
    try {
        Pty pty;
        kq2741::model::Responder instrument(opts.instrument);
        Server server(opts, pty, instrument, wake[0]);
        if (!opts.link.empty()) {
            std::string error;
            if (!replace_symlink(opts.link, pty.port(), error)) {
                std::fprintf(stderr, "kq2741-sim: --link: %s\n", error.c_str());
                return 1;
            }
            linked_port = pty.port();
        }
        // Whoever started us waits for this line; the port is ready by now.
        std::printf("%s\n", pty.port().c_str());
        std::fflush(stdout);
        server.run(g_stop);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kq2741-sim: %s\n", e.what());
        if (!linked_port.empty()) remove_symlink_to(opts.link, linked_port);
        return 1;
    }
    if (!linked_port.empty()) remove_symlink_to(opts.link, linked_port);
    return 0;
}
