// The simulated instrument at the far end of its line: bytes in, each
// request applied the moment it is complete, its answer queued for the
// moment it is due, with the faults the settings ask for. kq2741-sim puts
// it behind a pseudo-terminal, kq2741ctl._simulator behind a pyserial URL.
#pragma once

#include <chrono>
#include <functional>
#include <random>
#include <span>
#include <string>

#include "model/instrument.hpp"
#include "model/outbox.hpp"
#include "model/settings.hpp"
#include "protocol/frame_reader.hpp"

namespace kq2741::model {

class Responder {
public:
    using Clock = Outbox::Clock;

    // One piece of what arrived, once the instrument has acted on it.
    struct Seen {
        protocol::Received::Kind kind;
        std::span<const std::uint8_t> raw;
        const std::string& meaning;
        bool changed_state;  // a request or a checksum error: the state's counters moved
    };
    using Observer = std::function<void(const Seen&)>;

    // Throws SettingError (see check()).
    explicit Responder(const Settings& settings);

    // Takes bytes from the line, arrived at `now`; every request complete
    // among them is applied and its answer queued. `seen`, when given, hears
    // of each piece in order, after it was applied.
    void receive(std::span<const std::uint8_t> bytes, Clock::time_point now, const Observer& seen = {});
    // The line closed: a request half read and every answer not yet sent are dropped.
    void hang_up();

    Outbox& outbox() { return outbox_; }
    const Instrument& instrument() const { return instrument_; }
    const Settings& settings() const { return settings_; }

private:
    // False when drop-rate drew this answer: it is never sent.
    bool queue(protocol::Bytes answer, std::uint16_t code, Clock::time_point now);
    bool draw(double rate);

    Settings settings_;
    Instrument instrument_;
    protocol::FrameReader reader_ = protocol::FrameReader::for_requests();
    Outbox outbox_;
    std::mt19937_64 random_;
};

// With split, the second part of an answer follows the first after this long.
inline constexpr auto kSplitPause = std::chrono::milliseconds(50);

}  // namespace kq2741::model
