#include "protocol.hpp"

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace kq2741sim {
namespace {

// Length byte counts everything except start and channel.
constexpr std::uint8_t kMinRequestLength = 5;  // code(2) + cs + end + len itself
constexpr std::uint8_t kMaxRequestLength = 7;  // plus a two-byte payload

void flush_junk(Bytes& junk, std::vector<Received>& out) {
    if (junk.empty()) return;
    out.push_back({Received::Kind::Junk, std::move(junk), {}});
    junk.clear();
}

}  // namespace

std::uint8_t checksum(std::span<const std::uint8_t> start_to_payload) {
    unsigned sum = std::accumulate(start_to_payload.begin(), start_to_payload.end(), 0u);
    return static_cast<std::uint8_t>(-sum & 0xFFu);
}

Bytes encode(const Frame& frame) {
    Bytes out;
    out.reserve(frame.payload.size() + 7);
    out.push_back(kStart);
    out.push_back(frame.channel);
    out.push_back(static_cast<std::uint8_t>(frame.payload.size() + 5));
    out.push_back(static_cast<std::uint8_t>(frame.code >> 8));
    out.push_back(static_cast<std::uint8_t>(frame.code & 0xFF));
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    out.push_back(checksum(out));
    out.push_back(kEnd);
    return out;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string s;
    s.reserve(bytes.size() * 3);
    char b[4];
    for (auto v : bytes) {
        std::snprintf(b, sizeof b, s.empty() ? "%02X" : " %02X", v);
        s += b;
    }
    return s;
}

std::string command_name(std::uint16_t code) {
    switch (code) {
    case cmd::kVersion: return "version";
    case cmd::kFullScreenClose: return "full-screen close";
    case cmd::kWavelengthList: return "wavelength list";
    case cmd::kClearOrDisconnect: return "clear/disconnect";
    case cmd::kStatus: return "status";
    case cmd::kSelectWavelength: return "select wavelength";
    case cmd::kSetAttenuation: return "set attenuation";
    }
    char b[32];
    std::snprintf(b, sizeof b, "unknown command %02X %02X", code >> 8, code & 0xFF);
    return b;
}

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
        if (buf_.size() - pos < 3) break;
        const std::uint8_t len = buf_[pos + 2];
        if (len < kMinRequestLength || len > kMaxRequestLength) {
            junk.push_back(buf_[pos++]);
            continue;
        }
        const std::size_t total = std::size_t{len} + 2;
        if (buf_.size() - pos < total) break;
        if (buf_[pos + total - 1] != kEnd) {
            junk.push_back(buf_[pos++]);
            continue;
        }
        auto first = buf_.begin() + static_cast<std::ptrdiff_t>(pos);
        Bytes raw(first, first + static_cast<std::ptrdiff_t>(total));
        pos += total;
        flush_junk(junk, out);
        // A frame with the right shape but a wrong sum is consumed whole: its
        // bytes were garbled in transit, they do not hide the start of another frame.
        const unsigned sum = std::accumulate(raw.begin(), raw.end() - 1, 0u);
        if ((sum & 0xFFu) != 0) {
            out.push_back({Received::Kind::BadChecksum, std::move(raw), {}});
            continue;
        }
        Frame f;
        f.channel = raw[1];
        f.code = static_cast<std::uint16_t>(raw[3] << 8 | raw[4]);
        f.payload.assign(raw.begin() + 5, raw.end() - 2);
        out.push_back({Received::Kind::Frame, std::move(raw), std::move(f)});
    }
    flush_junk(junk, out);
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos));
    return out;
}

}  // namespace kq2741sim
