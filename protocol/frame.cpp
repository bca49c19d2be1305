#include "protocol/frame.hpp"

#include <cstdio>

namespace kq2741::protocol {

Bytes encode(const Frame& frame) {
    Bytes out(frame.payload.size() + kFrameOverhead);
    write_frame(frame.channel, frame.code, frame.payload, out);
    return out;
}

std::string hex(std::span<const std::uint8_t> bytes, HexCase letters) {
    const char* format = letters == HexCase::Upper ? "%02X" : "%02x";
    std::string s;
    s.reserve(bytes.size() * 3);
    char b[4];
    for (auto v : bytes) {
        if (!s.empty()) s += ' ';
        std::snprintf(b, sizeof b, format, v);
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

}  // namespace kq2741::protocol
