// Channel status: work mode, wavelength index and attenuation.
#include "core/python_ops.hpp"
#include "operations/operations.hpp"
#include "protocol/answers.hpp"
#include "protocol/units.hpp"
#include "wire/exchange.hpp"

namespace kq2741::driver {

namespace {

using kq2741::protocol::status_field::kSteps;
using kq2741::protocol::status_field::kWavelengthIndex;
using kq2741::protocol::status_field::kWorkMode;

constexpr long kMdbPerStep = kq2741::protocol::kMdbPerStep;

// (high << 8) + low, in 0.01 dB steps, as mdB; the high byte is read first.
Ref attenuation_mdb(const Answer& answer) noexcept {
    Ref high = answer.item(payload_at(kSteps + 1));
    if (!high) return {};
    Ref shifted = shift_left(high.get(), 8);
    if (!shifted) return {};
    Ref low = answer.item(payload_at(kSteps));
    if (!low) return {};
    Ref steps = add(shifted.get(), low.get());
    if (!steps) return {};
    return multiply(steps.get(), kMdbPerStep);
}

bool store(Borrowed dict, Borrowed key, const Ref& value) noexcept {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

}  // namespace

Ref read_current_status(const Call& call) noexcept {
    Answer answer;
    int framed = query_channel(call, Template::Status, answer);
    if (framed < 0) return {};
    if (!framed) return Ref::borrow(Py_None);

    const ResultKeys& keys = call.st.keys;
    Ref status = Ref::steal(PyDict_New());
    if (!status) return {};
    if (!store(status.get(), keys.dev_work_mode, answer.item(payload_at(kWorkMode)))) return {};
    if (!store(status.get(), keys.optical_length_index, answer.item(payload_at(kWavelengthIndex)))) return {};
    if (!store(status.get(), keys.attenuation, attenuation_mdb(answer))) return {};
    return status;
}

}  // namespace kq2741::driver
