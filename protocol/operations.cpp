#include "protocol/operations.hpp"

#include <algorithm>
#include <cstdio>

#include "protocol/requests.hpp"

namespace kq2741::protocol {
namespace {

constexpr std::string_view kCheck = ": check the port, the cable and that the instrument is on";

Failure misshapen(const Received& answer) {
    return {Fault::Misshapen,
            command_name(answer.frame.code) + " answer on channel " + std::to_string(answer.frame.channel) +
                " does not have the expected shape: " + hex(answer.raw),
            answer.raw};
}

}  // namespace

std::string seconds_text(Clock::duration timeout) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    std::string millis = std::to_string(1000 + ms % 1000).substr(1);
    while (millis.size() > 1 && millis.back() == '0') millis.pop_back();
    return std::to_string(ms / 1000) + "." + millis;
}

std::string nm_list(const std::vector<std::uint16_t>& nm) {
    std::string text;
    for (auto w : nm) text += (text.empty() ? "" : ", ") + std::to_string(w);
    return text.empty() ? "none" : text + " nm";
}

Outcome<Received> Operations::ask(std::span<const std::uint8_t> request) {
    Exchange e = exchanger_.ask(line_, request, timeout_, witness_);
    if (e.ending == Exchange::Ending::Answered) return std::move(*e.answer);
    const std::string asked = describe(request[kChannelAt], code_of(request));
    Failure f{Fault::NoAnswer, "", {}, 0, e.request_sent};
    switch (e.ending) {
    case Exchange::Ending::Answered: break;
    case Exchange::Ending::LineFailed: f.fault = Fault::LineFailed; return f;
    case Exchange::Ending::Interrupted: f.fault = Fault::Interrupted; return f;
    case Exchange::Ending::SendTimedOut:
        f.fault = Fault::SendTimedOut;
        f.message = "could not send " + asked + " within the time-out: check the cable and the flow control of the "
                    "adapter";
        return f;
    case Exchange::Ending::BadChecksum:
        if (!e.resynchronising) {
            f.fault = Fault::BadChecksum;
            f.message = "answer to " + asked + " has a bad checksum: " + hex(e.bad->raw);
            f.frame = e.bad->raw;
            return f;
        }
        break;
    case Exchange::Ending::Unanswered:
        if (!e.resynchronising) {
            f.fault = Fault::Unanswered;
            f.message = "no answer to " + asked + " within " + seconds_text(timeout_) + " s, only a frame answering " +
                        describe(e.stray->frame.channel, e.stray->frame.code) + ": " + hex(e.stray->raw);
            f.frame = e.stray->raw;
            return f;
        }
        break;
    case Exchange::Ending::Silent: break;
    }
    // Nothing usable came: silence, or (while resynchronising) only frames
    // that cannot be trusted.
    if (e.resynchronising)
        f.message = "no answer within " + seconds_text(timeout_) + " s while getting back in step after an "
                    "earlier request went unanswered; " + asked + " was not sent" + std::string(kCheck);
    else
        f.message = "no complete answer to " + asked + " within " + seconds_text(timeout_) + " s" +
                    (e.incomplete.empty() ? "" : " (incomplete: " + hex(e.incomplete) + ")") + std::string(kCheck);
    return f;
}

Outcome<Version> Operations::version() {
    auto answer = ask(version_request());
    if (!answer) return answer.failure();
    if (auto v = decode_version(answer->frame.payload)) return *v;
    return misshapen(*answer);
}

Outcome<std::vector<std::uint16_t>> Operations::wavelengths(std::uint8_t channel) {
    auto answer = ask(wavelength_list_request(channel));
    if (!answer) return answer.failure();
    if (auto nm = decode_wavelength_list(answer->frame.payload)) return std::move(*nm);
    return misshapen(*answer);
}

Outcome<Status> Operations::status(std::uint8_t channel) {
    auto answer = ask(status_request(channel));
    if (!answer) return answer.failure();
    if (auto s = decode_status(answer->frame.payload)) return *s;
    return misshapen(*answer);
}

Outcome<std::uint8_t> Operations::select(std::uint8_t channel, std::int64_t nm, std::string_view nm_text) {
    auto list = wavelengths(channel);
    if (!list) return list.failure();
    const auto at = std::find_if(list->begin(), list->end(), [nm](std::uint16_t w) { return w == nm; });
    if (at == list->end())
        return Failure{Fault::Unsupported,
                       "channel " + std::to_string(channel) + " does not support " + std::string(nm_text) +
                           " nm; it supports " + nm_list(*list),
                       {}};
    const auto index = static_cast<std::uint8_t>(at - list->begin());
    auto ack = acknowledged(select_wavelength_request(channel, index));
    if (!ack) return ack.failure();
    return index;
}

Outcome<Acknowledged> Operations::set_attenuation(std::uint8_t channel, std::uint16_t steps) {
    return acknowledged(set_attenuation_request(channel, steps));
}

Outcome<Acknowledged> Operations::clear(std::uint8_t channel) {
    return acknowledged(clear_request(channel));
}

Outcome<Acknowledged> Operations::disconnect(std::uint8_t channel) {
    return acknowledged(disconnect_request(channel));
}

Outcome<Acknowledged> Operations::close_display() {
    return acknowledged(full_screen_close_request());
}

Outcome<Acknowledged> Operations::acknowledged(std::span<const std::uint8_t> request) {
    auto answer = ask(request);
    if (!answer) return answer.failure();
    const auto status = decode_ack(answer->frame.payload);
    if (!status) return misshapen(*answer);
    if (*status == static_cast<std::uint8_t>(Ack::Ok)) return Acknowledged{};
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02X", *status);
    return Failure{Fault::Refused,
                   "the instrument refused " + describe(answer->frame.channel, answer->frame.code) + ": status " +
                       byte + " (" + ack_meaning(*status) + ")",
                   answer->raw, *status};
}

}  // namespace kq2741::protocol
