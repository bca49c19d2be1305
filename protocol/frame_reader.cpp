#include "protocol/frame_reader.hpp"

namespace kq2741::protocol {
namespace {

void flush_junk(Bytes& junk, std::vector<Received>& out) {
    if (junk.empty()) return;
    out.push_back({Received::Kind::Junk, std::move(junk), {}});
    junk.clear();
}

}  // namespace

std::vector<Received> FrameReader::feed(std::span<const std::uint8_t> data) {
    buf_.insert(buf_.end(), data.begin(), data.end());
    std::vector<Received> out;
    Bytes junk;
    std::size_t pos = 0;
    while (pos < buf_.size()) {
        if (buf_[pos] != kStart) {
            junk.push_back(buf_[pos++]);
            continue;
        }
        if (buf_.size() - pos <= kLengthAt) break;
        const std::uint8_t len = buf_[pos + kLengthAt];
        if (len < min_length_ || len > max_length_) {
            junk.push_back(buf_[pos++]);
            continue;
        }
        const std::size_t total = frame_size(len);
        if (buf_.size() - pos < total) break;
        if (buf_[pos + total - 1] != kEnd) {
            junk.push_back(buf_[pos++]);
            continue;
        }
        auto first = buf_.begin() + static_cast<std::ptrdiff_t>(pos);
        Bytes raw(first, first + static_cast<std::ptrdiff_t>(total));
        pos += total;
        flush_junk(junk, out);
        Frame f;
        f.channel = raw[kChannelAt];
        f.code = code_of(raw);
        f.payload.assign(raw.begin() + kPayloadAt, raw.end() - 2);
        // A frame with the right shape but a wrong sum is consumed whole: its
        // bytes were garbled in transit, they do not hide the start of another frame.
        const auto kind = checksum_ok(raw) ? Received::Kind::Frame : Received::Kind::BadChecksum;
        out.push_back({kind, std::move(raw), std::move(f)});
    }
    flush_junk(junk, out);
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos));
    return out;
}

}  // namespace kq2741::protocol
