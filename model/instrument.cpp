#include "model/instrument.hpp"

#include <sstream>
#include <utility>

#include "protocol/requests.hpp"
#include "protocol/units.hpp"

namespace kq2741::model {
namespace {

using namespace kq2741::protocol;

std::uint16_t le16(const Bytes& b) {
    return from_le16(b[0], b[1]);
}

// Builds log text; uint8_t fields must be widened first or they print as characters.
template <class... T>
std::string cat(const T&... parts) {
    std::ostringstream s;
    (s << ... << parts);
    return s.str();
}

std::string db(std::uint16_t steps) {
    const unsigned hundredths = steps % kStepsPerDb;
    return cat(steps / kStepsPerDb, '.', hundredths < 10 ? "0" : "", hundredths, " dB");
}

}  // namespace

Instrument::Instrument(std::vector<std::vector<std::uint16_t>> wavelengths, Version version)
    : version_(version) {
    channels_.reserve(wavelengths.size());
    for (auto& list : wavelengths) channels_.push_back(ChannelState{std::move(list)});
}

Bytes Instrument::ack(const Frame& request, Ack status) const {
    return encode({request.channel, request.code, ack_payload(status)});
}

Outcome Instrument::handle(const Frame& request) {
    ++requests_;
    const std::string who = cat("ch", int{request.channel}, ' ');
    if (request.channel == 0 || request.channel > channels_.size()) {
        // No module sits at that address, so nobody on the bus answers.
        return {std::nullopt, who + command_name(request.code) + ": no such channel, no answer"};
    }
    Outcome out = handle_on(channels_[request.channel - 1], request);
    out.meaning.insert(0, who);
    return out;
}

Outcome Instrument::handle_on(ChannelState& ch, const Frame& req) {
    const auto& p = req.payload;
    const std::string name = command_name(req.code);
    auto rejected = [&](const std::string& why) {
        return Outcome{ack(req, Ack::BadParameter), name + ": rejected, " + why};
    };

    switch (req.code) {
    case cmd::kVersion: {
        if (!p.empty()) return rejected("unexpected payload");
        return {encode({req.channel, req.code, version_payload(version_)}),
                cat(name, ' ', int{version_.module}, '.', int{version_.hardware}, '.',
                    int{version_.software})};
    }
    case cmd::kWavelengthList: {
        if (!p.empty()) return rejected("unexpected payload");
        std::string text;
        for (auto w : ch.wavelengths) text += cat(' ', w);
        return {encode({req.channel, req.code, wavelength_list_payload(ch.wavelengths)}),
                name + text + " nm"};
    }
    case cmd::kStatus: {
        if (!p.empty()) return rejected("unexpected payload");
        Status status{.work_mode = 0x00,
                      .wavelength_index = ch.wavelength_index,
                      .attenuation_steps = ch.attenuation_steps};
        return {encode({req.channel, req.code, status_payload(status)}),
                cat(name, ": index ", int{ch.wavelength_index}, ", ", db(ch.attenuation_steps),
                    ch.connected ? "" : ", disconnected")};
    }
    case cmd::kFullScreenClose:
        if (!p.empty()) return rejected("unexpected payload");
        return {ack(req, Ack::Ok), name + ": ok"};
    case cmd::kSelectWavelength:
        if (p.size() != 1) return rejected("payload must be one byte");
        if (p[0] >= ch.wavelengths.size())
            return rejected(cat("index ", int{p[0]}, " out of range"));
        ch.wavelength_index = p[0];
        return {ack(req, Ack::Ok),
                cat(name, ' ', int{p[0]}, " (", ch.wavelengths[p[0]], " nm): ok")};
    case cmd::kSetAttenuation:
        if (p.size() != 2) return rejected("payload must be two bytes");
        ch.attenuation_steps = le16(p);
        ch.connected = true;
        return {ack(req, Ack::Ok), cat(name, ' ', ch.attenuation_steps, " steps (",
                                       db(ch.attenuation_steps), "): ok")};
    case cmd::kClearOrDisconnect:
        if (p.size() != 2) return rejected("payload must be two bytes");
        if (le16(p) == kDisconnectValue) {
            ch.connected = false;
            return {ack(req, Ack::Ok), "disconnect: ok"};
        }
        if (le16(p) != kClearValue) return rejected("value must be 00 00 or FF FF");
        // Clearing drops the attenuation to zero, which puts light through again.
        ch.attenuation_steps = 0;
        ch.connected = true;
        return {ack(req, Ack::Ok), "clear: ok"};
    }
    return {ack(req, Ack::UnknownCommand), name + ": rejected"};
}

std::string Instrument::state_json() const {
    std::ostringstream s;
    s << "{\"version\": \"" << int{version_.module} << '.' << int{version_.hardware} << '.'
      << int{version_.software} << "\", \"requests\": " << requests_
      << ", \"checksum_errors\": " << checksum_errors_ << ", \"channels\": [";
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        const auto& ch = channels_[i];
        s << (i ? ", " : "") << "{\"ch\": " << i + 1 << ", \"wavelengths\": [";
        for (std::size_t j = 0; j < ch.wavelengths.size(); ++j)
            s << (j ? ", " : "") << ch.wavelengths[j];
        s << "], \"wavelength_index\": " << int{ch.wavelength_index}
          << ", \"attenuation_steps\": " << ch.attenuation_steps
          << ", \"connected\": " << (ch.connected ? "true" : "false") << '}';
    }
    s << "]}\n";
    return s.str();
}

}  // namespace kq2741::model
