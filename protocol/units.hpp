// Attenuation as the instrument counts it: whole steps of 0.01 dB, sent as an
// unsigned 16-bit value. Everything that converts dB or mdB to steps and back
// (the module, kq2741ctl, the simulator, the package and the servers on it)
// takes its numbers from here; texts that name a limit are built from these.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kq2741::protocol {

inline constexpr std::uint32_t kMdbPerStep = 10;  // one step is 0.01 dB
inline constexpr std::uint32_t kStepsPerDb = 100;
inline constexpr std::uint32_t kMaxSteps = 0xFFFF;
inline constexpr std::uint32_t kMaxMdb = kMaxSteps * kMdbPerStep;
inline constexpr double kMaxDb = static_cast<double>(kMaxSteps) / kStepsPerDb;
inline constexpr double kStepDb = 1.0 / kStepsPerDb;

// The same limits as text, for messages and documentation strings written
// at compile time; checked against the numbers below.
#define KQ2741_MAX_DB_TEXT "655.35"
#define KQ2741_STEP_DB_TEXT "0.01"
#define KQ2741_MAX_TIMEOUT_TEXT "3600"

// The longest any exchange may be given, in seconds: a bound that keeps a
// typo (3600000 for 3.6) from hanging a program for weeks.
inline constexpr double kMaxTimeoutSeconds = 3600;

// Whole steps in mdb; the part below one step is dropped, as the instrument
// cannot set it. mdb at most kMaxMdb.
constexpr std::uint16_t steps_from_mdb(std::uint32_t mdb) {
    return static_cast<std::uint16_t>(mdb / kMdbPerStep);
}

constexpr std::uint32_t mdb_from_steps(std::uint16_t steps) {
    return std::uint32_t{steps} * kMdbPerStep;
}

// Steps as dB with two decimals: 110 is "1.10".
std::string db_text(std::uint32_t steps);

// A binary float stands for the decimal a person or a sweep meant: 0.29 is
// 29 steps although the float lies just below 0.29, and so is 29 * 0.01
// (0.29000000000000004) from sweep arithmetic, which misses a step by about
// 1e-13 dB. A float stands for step n when it misses n hundredths by at
// most kRoundingDb, or when it is the single-precision float nearest to n
// hundredths (NumPy's float32). A value typed between two steps misses by
// 0.001 dB or more and stands for none.
inline constexpr double kRoundingDb = 1e-9;

enum class FloatSteps { Steps, NotANumber, Infinite, Negative, Above, Between };
struct FloatReading {
    FloatSteps verdict;
    std::uint16_t steps = 0;
};
// nearest: between two steps is the nearest of them (halves to even).
FloatReading steps_of_float(double db, bool nearest);

namespace detail {
constexpr std::uint32_t steps_in_text(std::string_view text) {
    std::uint32_t value = 0;
    unsigned decimals = 0;
    bool point = false;
    for (char c : text) {
        if (c == '.') {
            point = true;
            continue;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        decimals += point ? 1 : 0;
    }
    for (; decimals < 2; ++decimals) value *= 10;
    return value;
}
}  // namespace detail

static_assert(kStepsPerDb * kMdbPerStep == 1000, "a dB is 1000 mdB");
static_assert(steps_from_mdb(kMaxMdb) == kMaxSteps && mdb_from_steps(kMaxSteps) == kMaxMdb);
static_assert(steps_from_mdb(1109) == 110, "whole steps: the part below one is dropped");
static_assert(detail::steps_in_text(KQ2741_MAX_DB_TEXT) == kMaxSteps);
static_assert(detail::steps_in_text(KQ2741_STEP_DB_TEXT) == 1);
static_assert(detail::steps_in_text(KQ2741_MAX_TIMEOUT_TEXT) == kMaxTimeoutSeconds * kStepsPerDb);

}  // namespace kq2741::protocol
