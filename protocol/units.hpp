// Attenuation as the instrument counts it: whole steps of 0.01 dB, sent as an
// unsigned 16-bit value. Everything that converts dB or mdB to steps and back
// (the module, kq2741ctl, the simulator) takes its numbers from here.
#pragma once

#include <cstdint>

namespace kq2741::protocol {

inline constexpr std::uint32_t kMdbPerStep = 10;           // one step is 0.01 dB
inline constexpr std::uint32_t kStepsPerDb = 100;
inline constexpr std::uint32_t kMaxSteps = 0xFFFF;          // 655.35 dB
inline constexpr std::uint32_t kMaxMdb = kMaxSteps * kMdbPerStep;

// Whole steps in mdb; the part below one step is dropped, as the instrument
// cannot set it. mdb at most kMaxMdb.
constexpr std::uint16_t steps_from_mdb(std::uint32_t mdb) {
    return static_cast<std::uint16_t>(mdb / kMdbPerStep);
}

constexpr std::uint32_t mdb_from_steps(std::uint16_t steps) {
    return std::uint32_t{steps} * kMdbPerStep;
}

static_assert(kStepsPerDb * kMdbPerStep == 1000, "a dB is 1000 mdB");
static_assert(steps_from_mdb(kMaxMdb) == kMaxSteps && mdb_from_steps(kMaxSteps) == kMaxMdb);
static_assert(steps_from_mdb(1109) == 110, "whole steps: the part below one is dropped");

}  // namespace kq2741::protocol
