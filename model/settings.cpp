#include "model/settings.hpp"

#include <charconv>

namespace kq2741::model {
namespace {

unsigned number(std::string_view name, std::string_view text, unsigned lo, unsigned hi) {
    unsigned v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size() || v < lo || v > hi)
        throw SettingError(std::string(name), "expected a number from " + std::to_string(lo) + " to " +
                                                  std::to_string(hi) + ", got '" + std::string(text) + "'");
    return v;
}

std::vector<std::string_view> split_at(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        auto at = text.find(sep);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

std::vector<std::uint16_t> wavelength_list(std::string_view name, std::string_view text) {
    std::vector<std::uint16_t> out;
    for (auto part : split_at(text, ','))
        out.push_back(static_cast<std::uint16_t>(number(name, part, 1, protocol::kMaxNm)));
    if (out.size() > protocol::kMaxWavelengths)
        throw SettingError(std::string(name), "at most " + std::to_string(protocol::kMaxWavelengths) + " wavelengths");
    return out;
}

protocol::Version device_version(std::string_view name, std::string_view text) {
    auto parts = split_at(text, '.');
    if (parts.size() != 3) throw SettingError(std::string(name), "expected MODULE.HARDWARE.SOFTWARE");
    auto byte = [&](std::string_view p) { return static_cast<std::uint8_t>(number(name, p, 0, 255)); };
    return {byte(parts[0]), byte(parts[1]), byte(parts[2])};
}

double fraction(std::string_view name, std::string_view text) {
    double v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    // !(v >= 0 && v <= 1) also refuses NaN.
    if (ec != std::errc{} || end != text.data() + text.size() || !(v >= 0.0 && v <= 1.0))
        throw SettingError(std::string(name), "expected a fraction from 0 to 1, got '" + std::string(text) + "'");
    return v;
}

std::uint64_t whole(std::string_view name, std::string_view text) {
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size())
        throw SettingError(std::string(name), "expected a whole number from 0 to 18446744073709551615, got '" +
                                                  std::string(text) + "'");
    return v;
}

bool flag(std::string_view name, std::string_view text) {
    if (text.empty() || text == "1" || text == "true") return true;
    if (text == "0" || text == "false") return false;
    throw SettingError(std::string(name), "expected nothing, 1 or true (on), 0 or false (off), got '" +
                                              std::string(text) + "'");
}

}  // namespace

void set(Settings& s, std::string_view name, std::string_view value) {
    if (name == "channels") {
        s.channels = number(name, value, 1, kMaxChannels);
    } else if (name == "wavelengths") {
        s.wavelengths = wavelength_list(name, value);
    } else if (name == "channel-wavelengths") {
        auto eq = value.find('=');
        if (eq == std::string_view::npos) throw SettingError(std::string(name), "expected CHANNEL=W1,W2,...");
        const unsigned ch = number(name, value.substr(0, eq), 1, kMaxChannels);
        s.channel_wavelengths[ch] = wavelength_list(name, value.substr(eq + 1));
    } else if (name == "device-version") {
        s.device_version = device_version(name, value);
    } else if (name == "delay-ms") {
        s.delay_ms = number(name, value, 0, kMaxDelayMs);
    } else if (name == "split") {
        s.split = flag(name, value);
    } else if (name == "silent") {
        s.silent = flag(name, value);
    } else if (name == "corrupt") {
        s.corrupt = flag(name, value);
    } else if (name == "corrupt-rate") {
        s.corrupt_rate = fraction(name, value);
    } else if (name == "drop-rate") {
        s.drop_rate = fraction(name, value);
    } else if (name == "seed") {
        s.seed = whole(name, value);
        s.seeded = true;
    } else {
        throw SettingError(std::string(name), "no such setting");
    }
}

void check(const Settings& s) {
    for (const auto& [ch, list] : s.channel_wavelengths)
        if (ch > s.channels)
            throw SettingError("channel-wavelengths", "channel " + std::to_string(ch) + " is above the " +
                                                          std::to_string(s.channels) + " channels");
}

std::vector<std::vector<std::uint16_t>> wavelength_table(const Settings& s) {
    std::vector<std::vector<std::uint16_t>> table(s.channels, s.wavelengths);
    for (const auto& [ch, list] : s.channel_wavelengths) table[ch - 1] = list;
    return table;
}

}  // namespace kq2741::model
