#include "values.hpp"

#include <algorithm>
#include <charconv>
#include <getopt.h>
#include <optional>

#include "failure.hpp"
#include "protocol/answers.hpp"

namespace kq2741::ctl {
namespace {

constexpr std::chrono::milliseconds kMaxSeconds{static_cast<long>(protocol::kMaxTimeoutSeconds) * 1000};
// Enough for any value the instrument takes, far from overflowing 64 bits.
constexpr std::size_t kMaxWholeDigits = 9;
constexpr unsigned kMicroPerMilli = 1000;
constexpr std::size_t kQuotedLength = 40;

bool all_digits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Decimal text times 10^scale, exactly: binary floating point would turn
// 0.29 into 0.28999... and send 28 steps. Empty when the text is not plain
// decimal or has nonzero digits below 10^-scale.
std::optional<std::uint64_t> scaled_decimal(std::string_view text, unsigned scale) {
    const auto point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
    if (whole.empty() || whole.size() > kMaxWholeDigits || !all_digits(whole) ||
        !all_digits(fraction) || (point != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : whole) value = value * 10 + static_cast<unsigned>(c - '0');
    for (unsigned i = 0; i < scale; ++i)
        value = value * 10 + (i < fraction.size() ? static_cast<unsigned>(fraction[i] - '0') : 0);
    if (fraction.size() > scale && fraction.find_first_not_of('0', scale) != std::string_view::npos)
        return std::nullopt;
    return value;
}

unsigned whole_number(std::string_view what, std::string_view text, unsigned lo, unsigned hi) {
    unsigned v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size() || v < lo || v > hi)
        throw usage_error(std::string(what) + " " + quoted(text) + ": expected a number from " +
                          std::to_string(lo) + " to " + std::to_string(hi));
    return v;
}

}  // namespace

std::uint8_t parse_channel(std::string_view text) {
    return static_cast<std::uint8_t>(whole_number("channel", text, 1, 255));
}

std::uint16_t parse_wavelength(std::string_view text) {
    return static_cast<std::uint16_t>(whole_number("wavelength", text, 1, protocol::kMaxNm));
}

std::uint32_t parse_attenuation(std::string_view what, std::string_view text) {
    // Both units are read in micro-units of their own, so 3.5 dB and 3500 mdB meet.
    std::string_view number = text;
    unsigned scale = 6;
    if (number.ends_with("mdB")) {
        number.remove_suffix(3);
        scale = 3;
    } else if (number.ends_with("dB")) {
        number.remove_suffix(2);
    }
    const std::string shown = std::string(what) + " " + quoted(text);
    const auto micro = scaled_decimal(number, scale);
    if (!micro)
        throw usage_error(shown + ": expected dB (3.5 or 3.5dB) or mdB (3500mdB)");
    if (*micro % (kMdbPerStep * kMicroPerMilli) != 0)
        throw usage_error(shown + ": the instrument sets steps of " KQ2741_STEP_DB_TEXT " dB (" + std::to_string(kMdbPerStep) + " mdB)");
    if (*micro > std::uint64_t{kMaxMdb} * kMicroPerMilli)
        throw usage_error(shown + ": must lie in 0 to " KQ2741_MAX_DB_TEXT " dB");
    return static_cast<std::uint32_t>(*micro / kMicroPerMilli);
}

std::chrono::milliseconds parse_seconds(std::string_view what, std::string_view text,
                                        bool zero_allowed) {
    const auto ms = scaled_decimal(text, 3);
    const std::string shown = std::string(what) + " " + quoted(text);
    if (!ms) throw usage_error(shown + ": expected seconds, to the millisecond (0.5)");
    const std::chrono::milliseconds value(*ms);
    if (value.count() == 0 && !zero_allowed) throw usage_error(shown + ": must be at least 0.001 s");
    if (value > kMaxSeconds) throw usage_error(shown + ": must be at most " KQ2741_MAX_TIMEOUT_TEXT " s");
    return value;
}

protocol::Bytes parse_hex(std::span<const std::string> words) {
    protocol::Bytes out;
    for (const auto& word : words) {
        if (word.size() % 2 != 0)
            throw usage_error("raw " + quoted(word) + ": expected hex bytes, two digits each");
        for (std::size_t i = 0; i < word.size(); i += 2) {
            std::uint8_t b = 0;
            auto [end, ec] = std::from_chars(word.data() + i, word.data() + i + 2, b, 16);
            if (ec != std::errc{} || end != word.data() + i + 2)
                throw usage_error("raw " + quoted(word) + ": expected hex bytes, two digits each");
            out.push_back(b);
        }
    }
    return out;
}

std::string quoted(std::string_view text) {
    std::string shown(1, '\'');
    shown.append(text.substr(0, kQuotedLength));
    if (text.size() <= kQuotedLength) return shown + '\'';
    return shown + "...' (" + std::to_string(text.size()) + " characters)";
}

std::string refused_option(char* const* argv) {
    // An unknown short option's letter is in optopt, and optind may still
    // point at its cluster; an unknown long option (optopt 0), or one given
    // a value it does not take (optopt its code, above 255), is the word
    // before optind.
    if (optopt > ' ' && optopt < 0x7F) return quoted(std::string("-") + static_cast<char>(optopt));
    return quoted(argv[optind - 1]);
}


}  // namespace kq2741::ctl
