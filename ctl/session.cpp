#include "session.hpp"

#include <cstring>

#include "cleanup.hpp"

namespace kq2741::ctl {
namespace {

constexpr const char* kLenientHint = "; if the instrument's firmware answers that way, try --lenient";

}  // namespace

tty::Port open_port(const std::string& path) {
    tty::OpenError why{};
    auto port = tty::Port::open(path, why);
    if (!port) {
        std::string message = why.message(path);
        switch (why.kind) {
        case tty::OpenError::Kind::Missing:
            message += ": check the port name (-p or KQ2741_PORT) and that the adapter is plugged in";
            break;
        case tty::OpenError::Kind::NoPermission:
            message += ": add your user to the port's group (often dialout) and log in again";
            break;
        case tty::OpenError::Kind::NotATerminal: message += ": check the port name"; break;
        case tty::OpenError::Kind::Busy:
        case tty::OpenError::Kind::Failed: break;
        }
        throw Failure(Exit::Port, message);
    }
    cleanup::watch_port(port->fd(), port->found());
    return std::move(*port);
}

Session::Session(const tty::Port& port, std::chrono::milliseconds timeout, bool lenient, const Trace& trace)
    : port_(port), traced_(trace), line_(port.fd(), waiter_), exchanger_(lenient),
      operations_(exchanger_, line_, timeout, trace.on() ? &traced_ : nullptr) {}

void Session::Traced::sent(std::span<const std::uint8_t> frame, std::string_view note) {
    trace_.line("tx", frame, std::string(note));
}

void Session::Traced::dropped(std::span<const std::uint8_t> bytes, std::string_view note) {
    trace_.line("--", bytes, std::string(note));
}

void Session::Traced::received(std::span<const std::uint8_t> bytes, std::string_view note) {
    trace_.line("rx", bytes, std::string(note));
}

void Session::fail(const protocol::Failure& f) const {
    using protocol::Fault;
    switch (f.fault) {
    case Fault::NoAnswer: throw Failure(Exit::Timeout, f.message + ", or allow more time with --timeout");
    case Fault::SendTimedOut: throw Failure(Exit::Timeout, f.message);
    case Fault::Unanswered:
    case Fault::BadChecksum: throw Failure(Exit::Answer, f.message + kLenientHint);
    case Fault::Misshapen:
    case Fault::Refused:
    case Fault::Unsupported: throw Failure(Exit::Answer, f.message);
    case Fault::LineFailed:
        throw Failure(Exit::Port, std::string(line_.failed_doing()) + " on " + port_.path() + ": " +
                                      (line_.failed_error() ? std::strerror(line_.failed_error())
                                                            : "the port was closed") +
                                      "; check the cable and the adapter");
    case Fault::Interrupted: break;
    }
    throw Failure(Exit::Local, "interrupted");
}

}  // namespace kq2741::ctl
