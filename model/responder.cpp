#include "model/responder.hpp"

#include <utility>

namespace kq2741::model {

using protocol::Bytes;
using protocol::Received;

namespace {

Settings checked(const Settings& s) {
    check(s);
    return s;
}

}  // namespace

Responder::Responder(const Settings& settings)
    : settings_(checked(settings)), instrument_(wavelength_table(settings_), settings_.device_version),
      random_(settings_.seeded ? settings_.seed : std::random_device{}()) {}

void Responder::receive(std::span<const std::uint8_t> bytes, Clock::time_point now, const Observer& seen) {
    for (const Received& r : reader_.feed(bytes)) {
        switch (r.kind) {
        case Received::Kind::Junk:
            if (seen) seen({r.kind, r.raw, "not a request, skipped", false});
            continue;
        case Received::Kind::BadChecksum:
            instrument_.count_checksum_error();
            if (seen) seen({r.kind, r.raw, "bad checksum, ignored", true});
            continue;
        case Received::Kind::Frame:
            break;
        }
        Outcome out = instrument_.handle(r.frame);
        const bool answers = out.answer && !settings_.silent;
        if (out.answer && settings_.silent) out.meaning += " (silent, no answer)";
        if (answers && !queue(std::move(*out.answer), r.frame.code, now)) out.meaning += " (answer dropped: drop-rate)";
        if (seen) seen({r.kind, r.raw, out.meaning, true});
    }
}

bool Responder::draw(double rate) {
    // uniform in [0, 1): a rate of 1 always draws, 0 never.
    return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < rate;
}

bool Responder::queue(Bytes answer, std::uint16_t code, Clock::time_point now) {
    std::string note = protocol::command_name(code) + " answer";
    // Both draws for every answer, so one seed gives one sequence of faults
    // whichever rates are set; a dropped answer is not also garbled.
    const bool drop = draw(settings_.drop_rate);
    const bool corrupt = draw(settings_.corrupt_rate) || settings_.corrupt;
    if (drop) return false;
    if (corrupt) {
        answer[answer.size() - 2] ^= 0xFF;
        note += ", checksum inverted";
    }
    const auto due = now + std::chrono::milliseconds(settings_.delay_ms);
    if (!settings_.split) {
        outbox_.push(std::move(answer), due, std::move(note));
        return true;
    }
    const auto half = static_cast<std::ptrdiff_t>(answer.size() / 2);
    outbox_.push(Bytes(answer.begin(), answer.begin() + half), due, note + " (first part)");
    outbox_.push(Bytes(answer.begin() + half, answer.end()), due + kSplitPause, note + " (second part)");
    return true;
}

void Responder::hang_up() {
    reader_.reset();
    outbox_.clear();
}

}  // namespace kq2741::model
