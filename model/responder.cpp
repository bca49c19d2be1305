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
    : settings_(checked(settings)), instrument_(wavelength_table(settings_), settings_.device_version) {}

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
        if (answers) queue(std::move(*out.answer), r.frame.code, now);
        if (seen) seen({r.kind, r.raw, out.meaning, true});
    }
}

void Responder::queue(Bytes answer, std::uint16_t code, Clock::time_point now) {
    std::string note = protocol::command_name(code) + " answer";
    if (settings_.corrupt) {
        answer[answer.size() - 2] ^= 0xFF;
        note += ", checksum inverted";
    }
    const auto due = now + std::chrono::milliseconds(settings_.delay_ms);
    if (!settings_.split) {
        outbox_.push(std::move(answer), due, std::move(note));
        return;
    }
    const auto half = static_cast<std::ptrdiff_t>(answer.size() / 2);
    outbox_.push(Bytes(answer.begin(), answer.begin() + half), due, note + " (first part)");
    outbox_.push(Bytes(answer.begin() + half, answer.end()), due + kSplitPause, note + " (second part)");
}

void Responder::hang_up() {
    reader_.reset();
    outbox_.clear();
}

}  // namespace kq2741::model
