#include "server.hpp"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

#include "fsutil.hpp"

namespace kq2741::sim {
namespace {

using namespace std::chrono_literals;
using namespace kq2741::protocol;
using kq2741::model::Outbox;
using kq2741::model::Responder;

// A client that stops reading fills the pty; retry its answer at this pace.
constexpr auto kBlockedRetry = 10ms;

}  // namespace

Server::Server(const Options& opts, Pty& pty, Responder& instrument, int wake_fd)
    : opts_(opts), pty_(pty), instrument_(instrument), outbox_(instrument.outbox()), wake_fd_(wake_fd),
      clients_(pty.port()) {
    save_state();
}

void Server::run(const volatile std::sig_atomic_t& stop) {
    // The master never reports a hang-up (we hold the slave), so the loop
    // sleeps in poll until a request, a client, a signal or a due answer.
    while (!stop && !stdin_ended_) {
        pollfd fds[4] = {{pty_.fd(), POLLIN, 0},
                         {clients_.fd(), POLLIN, 0},
                         {wake_fd_, POLLIN, 0},
                         {opts_.stop_with_stdin ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 4, outbox_.timeout_ms(Clock::now())) < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (fds[2].revents & POLLIN) {
            char drain[64];
            while (read(wake_fd_, drain, sizeof drain) > 0) {
            }
        }
        if (fds[3].revents) watch_stdin();
        // Before the port: bytes read next belong to whoever has it open now.
        follow_clients();
        if (fds[0].revents & POLLIN) read_port();
        if (fds[0].revents & (POLLHUP | POLLERR))
            throw std::runtime_error("the pseudo-terminal hung up");
        send_due();
    }
}

void Server::read_port() {
    std::uint8_t buf[512];
    for (;;) {
        ssize_t n = read(pty_.fd(), buf, sizeof buf);
        if (n > 0) {
            // The state file is written before any answer goes out (send_due).
            instrument_.receive({buf, static_cast<std::size_t>(n)}, Clock::now(), [this](const Responder::Seen& seen) {
                if (seen.changed_state) save_state();
                log("rx", seen.raw, seen.meaning);
            });
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        throw std::system_error(n == 0 ? EIO : errno, std::generic_category(), "reading the pseudo-terminal");
    }
}

void Server::send_due() {
    while (outbox_.head_due(Clock::now())) {
        // Bytes written while nobody has the port open would wait in the pty
        // for the next client; on a real line they are simply lost.
        if (!clients_.present()) {
            log("--", {}, "nobody has the port open: " + outbox_.head().note + " dropped");
            outbox_.pop();
            continue;
        }
        pty_.ensure_raw();
        auto& chunk = outbox_.head();
        ssize_t n = write(pty_.fd(), chunk.data.data(), chunk.data.size());
        if (n == static_cast<ssize_t>(chunk.data.size())) {
            log("tx", chunk.data, chunk.note);
            outbox_.pop();
        } else if (n > 0) {
            log("tx", {chunk.data.data(), static_cast<std::size_t>(n)}, chunk.note + " (partial)");
            chunk.data.erase(chunk.data.begin(), chunk.data.begin() + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            chunk.due = Clock::now() + kBlockedRetry;
            return;
        } else {
            throw std::system_error(errno, std::generic_category(), "writing the pseudo-terminal");
        }
    }
}

void Server::follow_clients() {
    const bool was_present = clients_.present();
    const Clients::Seen seen = clients_.update();
    // An answer written after the last close, before we saw it, is in the
    // slave's input now: hang_up flushes it.
    if (seen.all_left) hang_up();
    if (!clients_.present()) {
        // Only with nobody left: a client that has just opened the port may
        // have claimed it already, and that claim is its own.
        if (seen.all_left) pty_.end_exclusive_use();
        return;
    }
    if (!was_present || seen.all_left) {
        pty_.ensure_raw();
        log("--", {}, "port opened");
    }
}

void Server::hang_up() {
    if (!outbox_.empty()) log("--", {}, "port closed, unsent answers dropped");
    else log("--", {}, "port closed");
    instrument_.hang_up();
    pty_.discard_unread();
}

void Server::watch_stdin() {
    char drain[256];
    const ssize_t n = read(STDIN_FILENO, drain, sizeof drain);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        stdin_ended_ = true;
        log("--", {}, "stdin ended, stopping");
    }
}

void Server::save_state() {
    if (opts_.state_file.empty()) return;
    if (write_file_atomic(opts_.state_file, instrument_.instrument().state_json()) || state_warned_) return;
    state_warned_ = true;
    std::fprintf(stderr, "kq2741-sim: cannot write state file %s\n", opts_.state_file.c_str());
}

void Server::log(const char* what, std::span<const std::uint8_t> bytes,
                 const std::string& note) const {
    if (!opts_.verbose) return;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_);
    std::string h = hex(bytes);
    std::fprintf(stderr, "kq2741-sim [%8.3f] %s %s%s%s\n", static_cast<double>(ms.count()) / 1000.0,
                 what, h.c_str(), h.empty() ? "" : " | ", note.c_str());
    std::fflush(stderr);
}

}  // namespace kq2741::sim
