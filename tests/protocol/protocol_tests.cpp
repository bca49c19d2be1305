// Unit tests of the wire format library: the frame reader, the answer search,
// the answer decoders and the attenuation units. Run by `meson test`
// (tools/test-protocol.sh, part of `make test`).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "protocol/answer_search.hpp"
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

void search_takes_only_its_own_answer() {
    const auto request = status_request(2);
    const Bytes late = status_answer(1, 5);  // another channel's answer, arriving late
    const Bytes own = status_answer(2, 7);
    AnswerSearch search(request);
    const auto events = search.feed(cat({{0x00}, late, own, status_answer(2, 9)}));
    CHECK(events.size() == 3);
    CHECK(events[0].seen == AnswerSearch::Seen::Junk);
    CHECK(events[1].seen == AnswerSearch::Seen::Stray && search.stray()->raw == late);
    CHECK(events[2].seen == AnswerSearch::Seen::Answer && search.answer().raw == own);
    CHECK(search.feed(own).empty());

    // Same channel, another command: not the answer either.
    AnswerSearch wrong_code(request);
    wrong_code.feed(encode(Frame{2, cmd::kSetAttenuation, ack_payload(Ack::Ok)}));
    CHECK(!wrong_code.answered() && wrong_code.stray());
}

void search_reports_a_bad_checksum_unless_lenient() {
    const auto request = status_request(1);
    Bytes bad = status_answer(1, 110);
    bad[bad.size() - 2] ^= 0xFF;
    AnswerSearch strict(request);
    strict.feed(bad);
    CHECK(!strict.answered() && strict.bad_checksum() && strict.bad_checksum()->raw == bad);
    AnswerSearch lenient(request, true);
    lenient.feed(cat({status_answer(3, 1)}));
    CHECK(lenient.answered() && lenient.answer().frame.channel == 3);
    AnswerSearch lenient_bad(request, true);
    lenient_bad.feed(bad);
    CHECK(lenient_bad.answered() && lenient_bad.answer().raw == bad);
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
}

}  // namespace

int main() {
    frames_survive_any_split();
    longest_answer_and_impossible_lengths();
    bad_checksum_is_reported_whole();
    noise_in_front_never_hides_the_answer();
    held_bad_frame_waits_for_what_it_hides();
    random_noise_in_front_of_an_answer();
    search_takes_only_its_own_answer();
    search_reports_a_bad_checksum_unless_lenient();
    decoders_refuse_other_shapes();
    units();
    if (g_failures) std::fprintf(stderr, "%d check(s) failed\n", g_failures);
    else std::puts("protocol: all checks passed");
    return g_failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
