// Serves requests arriving on the pty until asked to stop.
#pragma once

#include <chrono>
#include <csignal>
#include <random>
#include <span>
#include <string>

#include "clients.hpp"
#include "instrument.hpp"
#include "options.hpp"
#include "outbox.hpp"
#include "protocol/frame_reader.hpp"
#include "pty.hpp"

namespace kq2741::sim {

class Server {
public:
    // wake_fd becomes readable when a signal asks the loop to look at stop.
    // Throws std::system_error.
    Server(const Options& opts, Pty& pty, Instrument& instrument, int wake_fd);
    // Until stop is set, or stdin ends under --stop-with-stdin. Throws
    // std::runtime_error when the pty or the watch of its clients fails.
    void run(const volatile std::sig_atomic_t& stop);

private:
    void read_port();
    void handle(const protocol::Received& r);
    // Whether this answer is dropped / garbled, by --drop-rate and --corrupt-rate.
    bool draw(double rate);
    void schedule(protocol::Bytes answer, const std::string& note);
    void send_due();
    void follow_clients();
    void hang_up();
    void watch_stdin();
    void save_state();
    void log(const char* what, std::span<const std::uint8_t> bytes, const std::string& note) const;

    const Options& opts_;
    Pty& pty_;
    Instrument& instrument_;
    int wake_fd_;
    protocol::FrameReader reader_ = protocol::FrameReader::for_requests();
    Outbox outbox_;
    Clients clients_;
    bool stdin_ended_ = false;
    bool state_warned_ = false;
    Outbox::Clock::time_point started_ = Outbox::Clock::now();
    std::mt19937_64 random_;
};

}  // namespace kq2741::sim
