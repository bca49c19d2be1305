// Unit tests of the wire format library: the frame reader, the verified exchange,
// the answer decoders and the attenuation units. Run by `meson test`
// (tools/test-protocol.sh, part of `make test`).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <deque>

#include "protocol/exchange.hpp"
#include "protocol/answers.hpp"
#include "protocol/frame_reader.hpp"
#include "protocol/requests.hpp"
#include "protocol/units.hpp"

using namespace kq2741::protocol;

namespace {

int g_failures = 0;

#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            ++g_failures;                                                        \
            std::fprintf(stderr, "%s:%d: %s failed\n", __FILE__, __LINE__, #cond); \
        }                                                                        \
    } while (0)

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

template <std::size_t N>
Bytes bytes(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

Bytes status_answer(std::uint8_t channel, std::uint16_t steps) {
    return encode(Frame{channel, cmd::kStatus, status_payload({0, 2, steps})});
}

// Kinds and bytes of everything a reader reports for `data` cut at `cuts`.
std::vector<Received> read_all(FrameReader reader, const Bytes& data, const std::vector<std::size_t>& cuts = {}) {
    std::vector<Received> out;
    std::size_t from = 0;
    auto feed_to = [&](std::size_t to) {
        for (auto& r : reader.feed(std::span(data).subspan(from, to - from))) out.push_back(std::move(r));
        from = to;
    };
    for (auto cut : cuts) feed_to(cut);
    feed_to(data.size());
    for (auto& r : reader.finish()) out.push_back(std::move(r));
    return out;
}

std::vector<Bytes> frames_in(const std::vector<Received>& got, Received::Kind kind = Received::Kind::Frame) {
    std::vector<Bytes> out;
    for (const auto& r : got)
        if (r.kind == kind) out.push_back(r.raw);
    return out;
}

std::size_t reported_bytes(const std::vector<Received>& got) {
    std::size_t n = 0;
    for (const auto& r : got) n += r.raw.size();
    return n;
}

void frames_survive_any_split() {
    const Bytes answer = status_answer(1, 0x7D7B);  // 7B and 7D inside the payload
    for (std::size_t cut = 0; cut <= answer.size(); ++cut) {
        const auto got = read_all(FrameReader::for_answers(), answer, {cut});
        CHECK(frames_in(got) == std::vector<Bytes>{answer});
        CHECK(reported_bytes(got) == answer.size());
    }
}

void longest_answer_and_impossible_lengths() {
    // Length FF: the longest frame the length byte can announce.
    const Bytes longest = encode(Frame{1, cmd::kWavelengthList, Bytes(kMaxPayload, 0x7D)});
    CHECK(longest.size() == 257);
    CHECK(frames_in(read_all(FrameReader::for_answers(), longest)) == std::vector<Bytes>{longest});
    // A request reader knows requests are short: the same bytes are junk to it.
    CHECK(frames_in(read_all(FrameReader::for_requests(), longest)).empty());
    // Lengths below a frame's minimum start nothing.
    const Bytes short_length{0x7B, 0x01, 0x04, 0x00, 0x03, 0x7D};
    const auto got = read_all(FrameReader::for_answers(), short_length);
    CHECK(got.size() == 1 && got[0].kind == Received::Kind::Junk && got[0].raw == short_length);
}

void bad_checksum_is_reported_whole() {
    Bytes bad = status_answer(1, 110);
    bad[bad.size() - 2] ^= 0xFF;
    const auto got = read_all(FrameReader::for_answers(), bad);
    CHECK(frames_in(got, Received::Kind::BadChecksum) == std::vector<Bytes>{bad});
    CHECK(got.size() == 1 && got[0].frame.channel == 1 && got[0].frame.code == cmd::kStatus);
}

void noise_in_front_never_hides_the_answer() {
    const Bytes answer = status_answer(1, 110);
    const std::vector<Bytes> noises{
        {0x7B, 0x01},               // the answer's 7B read as a length of 123
        {0x00, 0x7B},               // its 7B read as a channel
        {0x7B},                     // its 7B read as a channel, its channel as the length
        {0x7B, 0x01, 0x0D},         // a candidate ending on a 7D with a wrong sum
        {0x7B, 0x01, 0xFF, 0x7D},   // the longest length, never completed
        bytes(status_request(2)),   // a request echoed: a whole frame first
    };
    for (const auto& noise : noises) {
        const Bytes line = cat({noise, answer});
        for (std::size_t cut = 0; cut <= line.size(); ++cut) {
            const auto frames = frames_in(read_all(FrameReader::for_answers(), line, {cut}));
            CHECK(!frames.empty() && frames.back() == answer);
        }
    }
}

void held_bad_frame_waits_for_what_it_hides() {
    // A frame with a wrong checksum whose payload holds a 7B that may start a
    // frame: nothing is decided until that one fails or the wait ends.
    Bytes bad = encode(Frame{1, cmd::kStatus, {0x00, 0x00, 0x7B, 0x01, 0x20}});
    bad[bad.size() - 2] ^= 0x55;
    auto reader = FrameReader::for_answers();
    CHECK(reader.feed(bad).empty());
    CHECK(reader.pending() == bad);
    const auto at_end = reader.finish();
    CHECK(frames_in(at_end, Received::Kind::BadChecksum) == std::vector<Bytes>{bad});
    CHECK(reader.pending().empty());
}

// Whether a whole, valid frame starts at `at` of `line` (an independent reading
// of the frame layout, to pick noise that holds no frame of its own).
bool valid_frame_at(const Bytes& line, std::size_t at) {
    if (line[at] != 0x7B || at + 2 >= line.size() || line[at + 2] < 5) return false;
    const std::size_t end = at + line[at + 2] + 1;
    if (end >= line.size() || line[end] != 0x7D) return false;
    unsigned sum = 0;
    for (std::size_t i = at; i < end; ++i) sum += line[i];
    return sum % 256 == 0;
}

void random_noise_in_front_of_an_answer() {
    std::mt19937 rng(2741);
    std::uniform_int_distribution<int> length(0, 40), any(0, 255), pick(0, 3), steps(0, 0xFFFF);
    const std::uint8_t likely[] = {0x7B, 0x7D, 0x05, 0x07};
    const int failures_before = g_failures;
    int tried = 0;
    while (tried < 20000) {
        const Bytes answer = status_answer(static_cast<std::uint8_t>(any(rng)), static_cast<std::uint16_t>(steps(rng)));
        Bytes noise(static_cast<std::size_t>(length(rng)));
        for (auto& b : noise) b = static_cast<std::uint8_t>(pick(rng) == 0 ? any(rng) : likely[pick(rng)]);
        const Bytes line = cat({noise, answer});
        bool noise_has_frame = false;
        for (std::size_t i = 0; i < noise.size(); ++i) noise_has_frame |= valid_frame_at(line, i);
        if (noise_has_frame) continue;
        ++tried;
        std::vector<std::size_t> cuts;
        for (std::size_t i = 1; i < line.size(); ++i)
            if (pick(rng) == 0) cuts.push_back(i);
        const auto got = read_all(FrameReader::for_answers(), line, cuts);
        const auto frames = frames_in(got);
        CHECK(frames.size() == 1 && frames[0] == answer);
        CHECK(reported_bytes(got) == line.size());
        if (g_failures > failures_before) return;  // one report is enough
    }
}

// An instrument that answers in order, as the real one does, behind a line
// the test controls: answers can be held back (a stall), lost (dropped), or
// garbled. Each status answer carries the number of the request it answers
// in its work-mode byte, so a test can tell whose answer a caller got.
class InOrderLine final : public Transport {
public:
    Io drain(Sink sink) override {
        deliver(sink);
        return Io::Done;
    }
    Io send(std::span<const std::uint8_t> frame, Clock::time_point) override {
        ++serial;
        sent.emplace_back(frame.begin(), frame.end());
        if (drop_next > 0) {
            --drop_next;
            return Io::Done;
        }
        const Frame r{frame[kChannelAt], code_of(frame), Bytes(frame.begin() + kPayloadAt, frame.end() - 2)};
        Bytes answer;
        if (r.code == cmd::kStatus) answer = encode(Frame{r.channel, r.code, status_payload({serial, 0, steps})});
        else if (r.code == cmd::kVersion) answer = encode(Frame{r.channel, r.code, version_payload({2, 50, 32})});
        else if (r.code == cmd::kWavelengthList) {
            const std::uint16_t nm[] = {1310, 1550};
            answer = encode(Frame{r.channel, r.code, wavelength_list_payload(nm)});
        } else {
            if (r.code == cmd::kSetAttenuation) steps = from_le16(r.payload[0], r.payload[1]);
            answer = encode(Frame{r.channel, r.code, ack_payload(Ack::Ok)});
        }
        if (garble_next > 0) {
            --garble_next;
            answer[answer.size() - 2] ^= 0xFF;
        }
        queue.push_back(std::move(answer));
        return Io::Done;
    }
    Io listen(const Clock::time_point&, Sink sink) override {
        deliver(sink);
        return Io::Done;  // as if the deadline passed, without the wait
    }

    int stalled = 0;      // listens and drains that deliver nothing
    int drop_next = 0;    // requests that are never answered
    int garble_next = 0;  // answers whose checksum is garbled
    int trickle = 0;      // at most this many answers a listen or drain (0: all there are)
    std::uint8_t serial = 0;
    std::uint16_t steps = 0;
    std::vector<Bytes> sent;
    std::deque<Bytes> queue;

private:
    void deliver(Sink& sink) {
        if (stalled > 0) {
            --stalled;
            return;
        }
        for (int n = 0; !queue.empty() && (trickle == 0 || n < trickle); ++n) {
            const Bytes next = std::move(queue.front());
            queue.pop_front();
            if (sink(next)) return;
        }
    }
};

constexpr auto kTimeout = std::chrono::milliseconds(100);

void exchange_after_a_stall_never_takes_another_answer() {
    // set 1 ok; stall: set 2, read, set 3, read unanswered; then answers
    // again: every value read is the answer to its own request.
    InOrderLine line;
    Exchanger ex;
    CHECK(ex.ask(line, set_attenuation_request(1, 100), kTimeout, nullptr).ending == Exchange::Ending::Answered);
    line.stalled = 8;  // a drain and a listen for each of the four calls
    const auto set2 = ex.ask(line, set_attenuation_request(1, 200), kTimeout, nullptr);
    CHECK(set2.ending == Exchange::Ending::Silent && set2.request_sent);
    for (int i = 0; i < 3; ++i) {
        const Bytes request = i == 1 ? bytes(set_attenuation_request(1, 300)) : bytes(status_request(1));
        const auto e = ex.ask(line, request, kTimeout, nullptr);
        CHECK(e.ending == Exchange::Ending::Silent && e.resynchronising && !e.request_sent);
    }
    const auto read = ex.ask(line, status_request(1), kTimeout, nullptr);
    CHECK(read.ending == Exchange::Ending::Answered);
    const auto s = decode_status(read.answer->frame.payload);
    CHECK(s && s->work_mode == line.serial && s->attenuation_steps == 200);  // set 3 was never sent
    CHECK(ex.synchronised());
}

void exchange_resynchronises_with_a_probe_that_fits_nothing_in_flight() {
    InOrderLine line;
    Exchanger ex;
    line.drop_next = 1;
    CHECK(ex.ask(line, version_request(), kTimeout, nullptr).ending == Exchange::Ending::Silent);
    const std::size_t before = line.sent.size();
    CHECK(ex.ask(line, version_request(), kTimeout, nullptr).ending == Exchange::Ending::Answered);
    // One probe, and not a version query: its answer could be the lost one's.
    CHECK(line.sent.size() == before + 2 && code_of(line.sent[before]) == cmd::kStatus);
    CHECK(ex.synchronised());
}

void exchange_is_safe_when_every_probe_is_in_flight() {
    // Many requests lost in a row: probes repeat, and answers still go to
    // the oldest request they fit, never to a newer one.
    InOrderLine line;
    Exchanger ex;
    line.drop_next = 12;
    for (int i = 0; i < 12; ++i) ex.ask(line, status_request(1), kTimeout, nullptr);
    CHECK(!ex.synchronised());
    for (int i = 0; i < 12 && !ex.synchronised(); ++i) {
        const auto e = ex.ask(line, status_request(1), kTimeout, nullptr);
        if (e.ending != Exchange::Ending::Answered) continue;
        CHECK(decode_status(e.answer->frame.payload)->work_mode == line.serial);
    }
    CHECK(ex.synchronised());
}

void exchange_late_answers_trickling_in_after_a_long_silence() {
    // Four calls went unanswered (a status and three probes, every kind of
    // probe in flight), then the answers come one at a time: none of them
    // is taken for a later request's.
    InOrderLine line;
    Exchanger ex;
    line.stalled = 1000;
    for (int i = 0; i < 4; ++i) CHECK(ex.ask(line, status_request(1), kTimeout, nullptr).ending != Exchange::Ending::Answered);
    line.stalled = 0;
    line.trickle = 1;
    int answered = 0;
    for (int i = 0; i < 10; ++i) {
        const auto e = ex.ask(line, status_request(1), kTimeout, nullptr);
        if (e.ending != Exchange::Ending::Answered) continue;
        ++answered;
        CHECK(decode_status(e.answer->frame.payload)->work_mode == line.serial);
    }
    CHECK(answered > 0);
}

void exchange_in_order_property() {
    // Random stalls, losses and garbled answers on an in-order instrument:
    // a status taken is always the answer to its own request.
    std::mt19937 rng(2741);
    std::uniform_int_distribution<int> pick(0, 9);
    InOrderLine line;
    Exchanger ex;
    int answered = 0;
    for (int i = 0; i < 20000; ++i) {
        const int r = pick(rng);
        if (r == 0) line.stalled = pick(rng) + pick(rng);  // up to a few calls long
        if (r == 1) line.drop_next = 1;
        if (r == 2) line.garble_next = 1;
        if (r == 3) line.trickle = pick(rng) % 3;  // answers come late, a few at a time
        // Every kind of request, so that probes and requests share keys.
        const int kind = pick(rng) % 4;
        const bool read = kind == 0;
        const Bytes request = kind == 0   ? bytes(status_request(1))
                              : kind == 1 ? bytes(version_request())
                              : kind == 2 ? bytes(wavelength_list_request(1))
                                          : bytes(set_attenuation_request(1, static_cast<std::uint16_t>(i)));
        const auto e = ex.ask(line, request, kTimeout, nullptr);
        if (e.ending != Exchange::Ending::Answered || !read) continue;
        ++answered;
        CHECK(decode_status(e.answer->frame.payload)->work_mode == line.serial);
    }
    if (answered <= 1000) std::fprintf(stderr, "only %d answered\n", answered);
    CHECK(answered > 1000);
}

void exchange_reports_a_bad_checksum_unless_lenient() {
    InOrderLine line;
    line.garble_next = 1;
    Exchanger strict;
    const auto bad = strict.ask(line, status_request(1), kTimeout, nullptr);
    CHECK(bad.ending == Exchange::Ending::BadChecksum && bad.bad && !checksum_ok(bad.bad->raw));
    line.garble_next = 1;
    Exchanger lenient(true);
    const auto taken = lenient.ask(line, status_request(1), kTimeout, nullptr);
    CHECK(taken.ending == Exchange::Ending::Answered && !checksum_ok(taken.answer->raw));
}

void exchange_passes_over_other_requests_answers() {
    InOrderLine line;
    Exchanger ex;
    line.queue.push_back(cat({{0x00}, status_answer(2, 5)}));  // unsolicited, before the request
    const auto e = ex.ask(line, status_request(1), kTimeout, nullptr);
    CHECK(e.ending == Exchange::Ending::Answered && e.answer->frame.channel == 1);
}

void decoders_refuse_other_shapes() {
    CHECK(decode_version(version_payload({2, 50, 32}))->hardware == 50);
    CHECK(!decode_version(Bytes{2, 50}));
    const std::uint16_t nm[] = {1310, 1490, 1550};
    CHECK(decode_wavelength_list(wavelength_list_payload(nm)) == std::vector<std::uint16_t>(nm, nm + 3));
    CHECK(decode_wavelength_list(Bytes{0})->empty());
    CHECK(!decode_wavelength_list(Bytes{}));
    CHECK(!decode_wavelength_list(Bytes{2, 0x1E, 0x05}));  // says two, carries one and a half
    const auto st = decode_status(status_payload({1, 2, 0x1234}));
    CHECK(st && st->work_mode == 1 && st->wavelength_index == 2 && st->attenuation_steps == 0x1234);
    CHECK(!decode_status(Bytes{0, 0, 2, 0x34}));
    CHECK(decode_ack(ack_payload(Ack::BadParameter)) == std::uint8_t{1});
    CHECK(!decode_ack(Bytes{0, 0}));
    CHECK(ack_meaning(2) == "unknown command" && ack_meaning(0x42) == "unknown status");
}

void units() {
    CHECK(steps_from_mdb(0) == 0 && steps_from_mdb(9) == 0 && steps_from_mdb(1109) == 110);
    CHECK(steps_from_mdb(kMaxMdb) == 0xFFFF && mdb_from_steps(0xFFFF) == 655350);
    CHECK(mdb_from_steps(29) == 290);
    CHECK(db_text(0) == "0.00" && db_text(110) == "1.10" && db_text(kMaxSteps) == KQ2741_MAX_DB_TEXT);
    // Every hundredth, typed or computed, stands for its step; a value
    // between two stands for none.
    for (std::uint32_t n = 0; n <= kMaxSteps; ++n) {
        const double typed = std::stod(db_text(n));
        const double computed = n * 0.01;
        const auto a = steps_of_float(typed, false);
        const auto b = steps_of_float(computed, false);
        const auto c = steps_of_float(static_cast<float>(typed), false);
        CHECK(a.verdict == FloatSteps::Steps && a.steps == n);
        CHECK(b.verdict == FloatSteps::Steps && b.steps == n);
        CHECK(c.verdict == FloatSteps::Steps && c.steps == n);
        if (g_failures) return;
    }
    CHECK(steps_of_float(0.295, false).verdict == FloatSteps::Between);
    CHECK(steps_of_float(0.295, true).steps == 30 && steps_of_float(0.005, true).steps == 0);
    CHECK(steps_of_float(655.351, false).verdict == FloatSteps::Above);
    CHECK(steps_of_float(655.356, true).verdict == FloatSteps::Above);
    CHECK(steps_of_float(-0.001, true).verdict == FloatSteps::Negative);
    CHECK(steps_of_float(-0.0, false).verdict == FloatSteps::Steps);
}

}  // namespace

int main() {
    frames_survive_any_split();
    longest_answer_and_impossible_lengths();
    bad_checksum_is_reported_whole();
    noise_in_front_never_hides_the_answer();
    held_bad_frame_waits_for_what_it_hides();
    random_noise_in_front_of_an_answer();
    exchange_after_a_stall_never_takes_another_answer();
    exchange_resynchronises_with_a_probe_that_fits_nothing_in_flight();
    exchange_is_safe_when_every_probe_is_in_flight();
    exchange_late_answers_trickling_in_after_a_long_silence();
    exchange_in_order_property();
    exchange_reports_a_bad_checksum_unless_lenient();
    exchange_passes_over_other_requests_answers();
    decoders_refuse_other_shapes();
    units();
    if (g_failures) std::fprintf(stderr, "%d check(s) failed\n", g_failures);
    else std::puts("protocol: all checks passed");
    return g_failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
