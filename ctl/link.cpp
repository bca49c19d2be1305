#include "link.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "failure.hpp"

namespace kq2741ctl {
namespace {

using namespace kq2741::protocol;

constexpr std::string_view kLenientHint = "; if the instrument's firmware answers that way, try --lenient";

std::string seconds_text(std::chrono::milliseconds ms) {
    std::string millis = std::to_string(1000 + ms.count() % 1000).substr(1);
    while (millis.size() > 1 && millis.back() == '0') millis.pop_back();
    return std::to_string(ms.count() / 1000) + "." + millis;
}

}  // namespace

Received Link::ask(std::span<const std::uint8_t> request) {
    const std::uint8_t channel = request[kChannelAt];
    const std::uint16_t code = code_of(request);
    const std::string asked = describe(channel, code);

    drop_waiting_input();
    auto deadline = Clock::now() + settings_.timeout;
    send(request, deadline);

    AnswerSearch search(request, settings_.lenient);
    bool settling = false;
    std::uint8_t buf[512];
    for (;;) {
        const ssize_t n = read(port_.fd(), buf, sizeof buf);
        if (n > 0) {
            trace(search.feed({buf, static_cast<std::size_t>(n)}));
            if (search.answered()) return search.answer();
            if (search.bad_checksum() && !settling) {
                settling = true;
                deadline = std::min(deadline, Clock::now() + kSettleAfterBadFrame);
            }
            continue;
        }
        if (n == 0) errno = 0;  // end of file: the other side hung up
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) lost("reading from");
        if (n < 0 && errno == EINTR) continue;
        if (!wait(POLLIN, deadline)) break;
    }
    const Bytes partial = search.pending();
    trace(search.finish());

    if (const auto& bad = search.bad_checksum())
        throw Failure(Exit::Answer, "answer to " + asked + " has a bad checksum: " + hex(bad->raw) +
                                        std::string(kLenientHint));
    if (const auto& stray = search.stray())
        throw Failure(Exit::Answer, "no answer to " + asked + ", only a frame answering " +
                                        describe(stray->frame.channel, stray->frame.code) + ": " +
                                        hex(stray->raw) + std::string(kLenientHint));
    throw Failure(Exit::Timeout,
                  "no complete answer to " + asked + " from " + port_.path() + " within " +
                      seconds_text(settings_.timeout) + " s" +
                      (partial.empty() ? "" : " (incomplete: " + hex(partial) + ")") +
                      ": check the port name, the cable and that the instrument is on, or allow "
                      "more time with --timeout");
}

void Link::trace(const std::vector<AnswerSearch::Event>& events) const {
    if (!trace_.on()) return;
    for (const auto& e : events) trace_.line("rx", e.received.raw, note(e));
}

void Link::drop_waiting_input() {
    // A late answer to an earlier request must not be read as this one's.
    std::uint8_t buf[256];
    for (;;) {
        const ssize_t n = read(port_.fd(), buf, sizeof buf);
        if (n > 0) {
            if (trace_.on())
                trace_.line("--", {buf, static_cast<std::size_t>(n)}, "waiting before the request, dropped");
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n == 0) errno = 0;
        lost("reading from");
    }
}

void Link::send(std::span<const std::uint8_t> request, Clock::time_point deadline) {
    auto left = request;
    while (!left.empty()) {
        const ssize_t n = write(port_.fd(), left.data(), left.size());
        if (n > 0) {
            left = left.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) lost("writing to");
        if (!wait(POLLOUT, deadline))
            throw Failure(Exit::Timeout, "could not send to " + port_.path() + " within the time-out: "
                                         "check the cable and the flow control of the adapter");
    }
    if (trace_.on()) trace_.line("tx", request, describe(request[kChannelAt], code_of(request)));
}

bool Link::wait(short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{port_.fd(), events, 0};
        const int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0) return true;  // readable, or an error the next read or write reports
        if (r < 0 && errno != EINTR) lost("waiting on");
    }
}

void Link::lost(const char* doing) const {
    throw Failure(Exit::Port, std::string(doing) + " " + port_.path() + ": " +
                                  (errno ? std::strerror(errno) : "the port was closed") +
                                  "; check the cable and the adapter");
}

}  // namespace kq2741ctl
