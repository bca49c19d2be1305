#include "protocol/units.hpp"

namespace kq2741::protocol {

std::string db_text(std::uint32_t steps) {
    const std::uint32_t cents = steps % kStepsPerDb;
    return std::to_string(steps / kStepsPerDb) + (cents < 10 ? ".0" : ".") + std::to_string(cents);
}

FloatReading steps_of_float(double db, bool nearest) {
    if (std::isnan(db)) return {FloatSteps::NotANumber};
    if (std::isinf(db)) return {FloatSteps::Infinite};
    const double hundredths = db * kStepsPerDb;
    const double whole = std::nearbyint(hundredths);  // halves to even
    if (whole < 0 || (whole == 0 && std::signbit(hundredths) && hundredths != 0)) return {FloatSteps::Negative};
    if (whole > kMaxSteps) return {FloatSteps::Above};
    const auto steps = static_cast<std::uint16_t>(whole);
    if (nearest) return {FloatSteps::Steps, steps};
    const bool rounding = std::fabs(hundredths - whole) <= kRoundingDb * kStepsPerDb;
    const auto single = static_cast<float>(db);
    const bool nearest_single =
        static_cast<double>(single) == db && static_cast<float>(whole / kStepsPerDb) == single;
    if (rounding || nearest_single) return {FloatSteps::Steps, steps};
    // Above the last step by more than rounding is above, not between.
    if (steps == kMaxSteps && hundredths > whole) return {FloatSteps::Above};
    return {FloatSteps::Between};
}

}  // namespace kq2741::protocol
