#include "protocol/frame_reader.hpp"

#include <algorithm>

namespace kq2741::protocol {

std::vector<Received> FrameReader::feed(std::span<const std::uint8_t> data) {
    buf_.insert(buf_.end(), data.begin(), data.end());
    return scan(false);
}

std::vector<Received> FrameReader::finish() {
    return scan(true);
}

FrameReader::Candidate FrameReader::classify(std::size_t at, bool final, std::size_t& total) const {
    const std::size_t have = buf_.size() - at;
    if (have <= kLengthAt) return final ? Candidate::Fails : Candidate::Incomplete;
    const std::uint8_t len = buf_[at + kLengthAt];
    if (len < min_length_ || len > max_length_) return Candidate::Fails;
    total = frame_size(len);
    if (have < total) return final ? Candidate::Fails : Candidate::Incomplete;
    if (buf_[at + total - 1] != kEnd) return Candidate::Fails;
    return checksum_ok(std::span(buf_).subspan(at, total)) ? Candidate::Whole : Candidate::BadChecksum;
}

bool FrameReader::hides_another(std::size_t at, std::size_t total, bool final) const {
    for (std::size_t inner = at + 1; inner < at + total; ++inner) {
        if (buf_[inner] != kStart) continue;
        std::size_t inner_total = 0;
        const auto c = classify(inner, final, inner_total);
        if (c == Candidate::Whole || c == Candidate::Incomplete) return true;
    }
    return false;
}

std::vector<Received> FrameReader::scan(bool final) {
    std::vector<Received> out;
    std::size_t reported = 0;  // bytes before this one are in `out`
    auto junk_up_to = [&](std::size_t end) {
        if (end > reported)
            out.push_back({Received::Kind::Junk, Bytes(buf_.begin() + static_cast<std::ptrdiff_t>(reported),
                                                        buf_.begin() + static_cast<std::ptrdiff_t>(end)), {}});
        reported = end;
    };
    auto take = [&](std::size_t at, std::size_t total, Received::Kind kind) {
        junk_up_to(at);
        const auto first = buf_.begin() + static_cast<std::ptrdiff_t>(at);
        Bytes raw(first, first + static_cast<std::ptrdiff_t>(total));
        Frame f;
        f.channel = raw[kChannelAt];
        f.code = code_of(raw);
        f.payload.assign(raw.begin() + kPayloadAt, raw.end() - 2);
        out.push_back({kind, std::move(raw), std::move(f)});
        reported = at + total;
    };

    std::size_t at = 0;
    while (true) {
        at = static_cast<std::size_t>(std::find(buf_.begin() + static_cast<std::ptrdiff_t>(at), buf_.end(), kStart) -
                                      buf_.begin());
        if (at == buf_.size()) {
            junk_up_to(at);
            break;
        }
        std::size_t total = 0;
        const auto c = classify(at, final, total);
        if (c == Candidate::Fails) {
            ++at;
            continue;
        }
        if (c == Candidate::Whole) {
            take(at, total, Received::Kind::Frame);
            at += total;
            continue;
        }
        if (c == Candidate::BadChecksum && !hides_another(at, total, final)) {
            take(at, total, Received::Kind::BadChecksum);
            at += total;
            continue;
        }
        // This candidate may yet be a frame, or hides the start of one: a
        // whole frame anywhere after its start wins, the bytes before it
        // being noise.
        bool found = false;
        for (std::size_t later = at + 1; later < buf_.size() && !found; ++later) {
            std::size_t later_total = 0;
            if (buf_[later] != kStart || classify(later, final, later_total) != Candidate::Whole) continue;
            take(later, later_total, Received::Kind::Frame);
            at = later + later_total;
            found = true;
        }
        if (found) continue;
        junk_up_to(at);
        break;  // hold the candidate for the next feed
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(reported));
    return out;
}

}  // namespace kq2741::protocol
