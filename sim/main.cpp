// kq2741-sim: a KQ2741 attenuator on a pseudo-terminal, for testing without hardware.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

#include "detach.hpp"
#include "fsutil.hpp"
#include "link_claim.hpp"
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

// Exit statuses beyond 0 (done), 1 (failed) and 2 (usage).
constexpr int kNoOwner = 3;
constexpr int kLinkOwned = 4;
// A simulator ends within milliseconds of SIGTERM; this bounds a stuck one.
constexpr auto kStopWait = std::chrono::seconds(5);

// The --link, removed when we end unless another simulator has since taken
// it over. Declared after the claim, so it goes first.
struct Link {
    std::string path, port;
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() {
        if (!port.empty()) kq2741::sim::remove_symlink_to(path, port);
    }
};

int stop(const std::string& link) {
    using Kind = kq2741::sim::StopResult::Kind;
    const auto r = kq2741::sim::stop_owner(link, kStopWait);
    const char* path = link.c_str();
    switch (r.kind) {
    case Kind::Stopped: return 0;
    case Kind::NoOwner:
        std::fprintf(stderr, "kq2741-sim: --stop: no running simulator owns %s\n", path);
        return kNoOwner;
    case Kind::NotPermitted:
        std::fprintf(stderr, "kq2741-sim: --stop: the simulator on %s (process %d) is another user's\n",
                     path, static_cast<int>(r.pid));
        return 1;
    case Kind::StillRunning:
        std::fprintf(stderr, "kq2741-sim: --stop: the simulator on %s (process %d) still runs %lld s after SIGTERM\n",
                     path, static_cast<int>(r.pid), static_cast<long long>(kStopWait.count()));
        return 1;
    case Kind::Failed: break;
    }
    std::fprintf(stderr, "kq2741-sim: --stop %s: %s\n", path, r.error.c_str());
    return 1;
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
    if (!opts.stop_link.empty()) return stop(opts.stop_link);
    // Before anything is opened or claimed: the process that stays owns it all.
    std::optional<Detached> detached;
    if (opts.detach) detached.emplace(Detached::start());

    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0 || !install_signals(wake[1])) {
        std::perror("kq2741-sim: signal setup");
        return 1;
    }

    try {
        std::optional<LinkClaim> claim;
        if (!opts.link.empty()) {
            claim = LinkClaim::take(opts.link);
            if (!claim) {
                std::fprintf(stderr, "kq2741-sim: --link %s: another running simulator owns it "
                             "(kq2741-sim --stop %s ends it)\n", opts.link.c_str(), opts.link.c_str());
                return kLinkOwned;
            }
        }
        Pty pty;
        kq2741::model::Responder instrument(opts.instrument);
        Server server(opts, pty, instrument, wake[0]);
        Link link;
        if (!opts.link.empty()) {
            std::string error;
            if (!replace_symlink(opts.link, pty.port(), error)) {
                std::fprintf(stderr, "kq2741-sim: --link: %s\n", error.c_str());
                return 1;
            }
            link.path = opts.link;
            link.port = pty.port();
        }
        // Whoever started us waits for this line; the port is ready by now.
        const std::string line = pty.port() + "\n";
        if (detached) {
            detached->ready(line.c_str());
        } else {
            std::fputs(line.c_str(), stdout);
            std::fflush(stdout);
        }
        server.run(g_stop);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kq2741-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
