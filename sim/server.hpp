// Serves requests arriving on the pty until asked to stop.
#pragma once

#include <chrono>
#include <csignal>
#include <span>
#include <string>

#include "clients.hpp"
#include "model/responder.hpp"
#include "options.hpp"
#include "pty.hpp"

namespace kq2741::sim {

class Server {
public:
    using Clock = kq2741::model::Responder::Clock;

    // wake_fd becomes readable when a signal asks the loop to look at stop.
    // Throws std::system_error.
    Server(const Options& opts, Pty& pty, kq2741::model::Responder& instrument, int wake_fd);
    // Until stop is set, or stdin ends under --stop-with-stdin. Throws
    // std::runtime_error when the pty or the watch of its clients fails.
    void run(const volatile std::sig_atomic_t& stop);

private:
    void read_port();
    void send_due();
    void follow_clients();
    void hang_up();
    void watch_stdin();
    void save_state();
    void log(const char* what, std::span<const std::uint8_t> bytes, const std::string& note) const;

    const Options& opts_;
    Pty& pty_;
    kq2741::model::Responder& instrument_;
    kq2741::model::Outbox& outbox_;
    int wake_fd_;
    Clients clients_;
    bool stdin_ended_ = false;
    bool state_warned_ = false;
    Clock::time_point started_ = Clock::now();
};

}  // namespace kq2741::sim
