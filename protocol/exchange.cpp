#include "protocol/exchange.hpp"

#include <algorithm>
#include <string>

#include "protocol/requests.hpp"

namespace kq2741::protocol {
namespace {

constexpr std::string_view kDropped = "waiting before the request, dropped";

// Reads the answers to the requests in flight, the newest being the one
// asked now: each frame is taken by the oldest request it fits, and the ones
// before that request are forgotten (the instrument answers in order).
class Attribution {
public:
    Attribution(std::deque<Asked>& in_flight, bool lenient, Witness* witness)
        : in_flight_(in_flight), lenient_(lenient), witness_(witness) {}

    void feed(std::span<const std::uint8_t> bytes) {
        if (!answer) sort(reader_.feed(bytes));
    }
    void finish() {
        if (!answer) sort(reader_.finish());
    }
    const Bytes& pending() const { return reader_.pending(); }

    std::optional<Received> answer;  // to the newest request in flight
    std::optional<Received> bad;     // the last frame with a wrong checksum
    std::optional<Received> stray;   // the last frame that fits no request in flight

private:
    void tell(const Received& r, const std::string& note) const { witness_->received(r.raw, note); }

    std::ptrdiff_t oldest_fitting(const Frame& f) const {
        for (std::size_t i = 0; i < in_flight_.size(); ++i)
            if (in_flight_[i].channel == f.channel && in_flight_[i].code == f.code)
                return static_cast<std::ptrdiff_t>(i);
        return -1;
    }

    void take(Received& r) {
        in_flight_.clear();  // the newest answered: every earlier one is settled
        answer = std::move(r);
    }

    void sort(std::vector<Received> received) {
        // Notes are words for a witness: none is built without one.
        const bool telling = witness_ != nullptr;
        for (auto& r : received) {
            if (answer) return;  // what follows the answer is not looked at
            if (r.kind == Received::Kind::Junk) {
                if (telling) tell(r, "not a frame, skipped");
            } else if (lenient_) {
                if (telling) tell(r, command_name(r.frame.code) + " answer");
                take(r);
            } else if (r.kind == Received::Kind::BadChecksum) {
                if (telling) tell(r, "bad checksum");
                bad = std::move(r);
            } else if (const std::ptrdiff_t at = oldest_fitting(r.frame); at < 0) {
                if (telling) tell(r, "answers " + describe(r.frame.channel, r.frame.code) + ", not this request: dropped");
                stray = std::move(r);
            } else if (static_cast<std::size_t>(at) + 1 == in_flight_.size()) {
                if (telling) tell(r, command_name(r.frame.code) + " answer");
                take(r);
            } else {
                if (telling)
                    tell(r, "late answer to an earlier " + describe(r.frame.channel, r.frame.code) + ", dropped");
                in_flight_.erase(in_flight_.begin(), in_flight_.begin() + at + 1);
            }
        }
    }

    FrameReader reader_ = FrameReader::for_answers();
    std::deque<Asked>& in_flight_;
    bool lenient_;
    Witness* witness_;
};

Exchange ended(Io io) {
    Exchange e;
    e.ending = io == Io::Failed        ? Exchange::Ending::LineFailed
               : io == Io::Interrupted ? Exchange::Ending::Interrupted
                                       : Exchange::Ending::SendTimedOut;
    return e;
}

}  // namespace

std::string describe(std::uint8_t channel, std::uint16_t code) {
    return command_name(code) + " on channel " + std::to_string(channel);
}

Exchange Exchanger::ask(Transport& line, std::span<const std::uint8_t> request, Clock::duration timeout,
                        Witness* witness) {
    if (lenient_) in_flight_.clear();  // nothing can be told apart
    if (!in_flight_.empty()) {
        // What arrived meanwhile may settle the requests in flight: read, not dropped.
        Attribution early(in_flight_, false, witness);
        auto take = [&early](std::span<const std::uint8_t> bytes) {
            early.feed(bytes);
            return false;
        };
        if (const Io io = line.drain(take); io != Io::Done) return ended(io);
    }
    if (!in_flight_.empty()) {
        Exchange probed = converse(line, probe(), timeout, witness, " (to resynchronise)");
        if (probed.ending != Exchange::Ending::Answered) {
            probed.resynchronising = true;
            return probed;
        }
    }
    // In step with the instrument, whatever waits answers nothing asked.
    auto drop = [witness](std::span<const std::uint8_t> bytes) {
        if (witness) witness->dropped(bytes, kDropped);
        return false;
    };
    if (const Io io = line.drain(drop); io != Io::Done) return ended(io);
    Exchange e = converse(line, request, timeout, witness, "");
    e.request_sent = true;
    return e;
}

Exchange Exchanger::converse(Transport& line, std::span<const std::uint8_t> request, Clock::duration timeout,
                             Witness* witness, std::string_view why) {
    auto deadline = Clock::now() + timeout;
    const Io sent = line.send(request, deadline);
    // Sent in part is sent: the instrument may answer it all the same.
    in_flight_.push_back({request[kChannelAt], code_of(request)});
    if (in_flight_.size() > kMaxInFlight) in_flight_.pop_front();
    if (witness)
        witness->sent(request, describe(request[kChannelAt], code_of(request)) + std::string(why) +
                                   (sent == Io::Done ? "" : " (not all sent)"));
    if (sent != Io::Done) return ended(sent);

    Attribution search(in_flight_, lenient_, witness);
    bool settling = false;
    auto took = [&](std::span<const std::uint8_t> bytes) {
        search.feed(bytes);
        if (search.answer) return true;
        // After a frame with a bad checksum the real answer may still
        // follow noise that looked like one, but not for long.
        if (search.bad && !settling) {
            settling = true;
            deadline = std::min(deadline, Clock::now() + kSettleAfterBadFrame);
        }
        return false;
    };
    const Io io = line.listen(deadline, took);
    Exchange e;
    if (!search.answer) {
        if (io != Io::Done) return ended(io);
        e.incomplete = search.pending();
        search.finish();
    }
    if (search.answer) {
        e.ending = Exchange::Ending::Answered;
        const std::uint8_t channel = search.answer->frame.channel;
        if (std::find(channels_.begin(), channels_.end(), channel) == channels_.end()) channels_.push_back(channel);
        e.answer = std::move(search.answer);
        return e;
    }
    e.bad = std::move(search.bad);
    e.stray = std::move(search.stray);
    e.ending = e.bad     ? Exchange::Ending::BadChecksum
               : e.stray ? Exchange::Ending::Unanswered
                         : Exchange::Ending::Silent;
    return e;
}

bool Exchanger::in_flight(Asked asked) const {
    return std::any_of(in_flight_.begin(), in_flight_.end(),
                       [&](const Asked& a) { return a.channel == asked.channel && a.code == asked.code; });
}

Bytes Exchanger::probe() const {
    // Harmless queries, the instrument's own first. One that fits no request
    // in flight is known by its answer at once.
    std::vector<Bytes> candidates;
    auto add = [&](const auto& frame) { candidates.emplace_back(frame.begin(), frame.end()); };
    add(version_request());
    add(status_request(kInstrumentChannel));
    add(wavelength_list_request(kInstrumentChannel));
    for (auto channel : channels_) {
        if (channel == kInstrumentChannel) continue;
        add(status_request(channel));
        add(wavelength_list_request(channel));
    }
    for (const auto& c : candidates)
        if (!in_flight({c[kChannelAt], code_of(c)})) return c;
    // Every one fits some request in flight: the one that fits only later
    // ones, so that whichever copy its answer settles, it settles the most.
    auto first_asked = [&](const Bytes& c) {
        for (std::size_t i = 0; i < in_flight_.size(); ++i)
            if (in_flight_[i].channel == c[kChannelAt] && in_flight_[i].code == code_of(c)) return i;
        return in_flight_.size();
    };
    return *std::max_element(candidates.begin(), candidates.end(),
                             [&](const Bytes& a, const Bytes& b) { return first_asked(a) < first_asked(b); });
}

}  // namespace kq2741::protocol
