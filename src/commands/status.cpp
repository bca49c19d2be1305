// Channel status: work mode, wavelength index and attenuation.
#include "commands/answer.hpp"
#include "commands/commands.hpp"
#include "core/arith.hpp"
#include "link/exchange.hpp"
#include "core/pyops.hpp"

namespace kq {

namespace {

constexpr long kMdbPerStep = 10;

// (buf[9] << 8) + buf[8], 0.01 dB steps, in mdB
Ref attenuation_mdb(const Answer& answer) noexcept {
    Ref high = answer.item(9);
    Ref shifted = high ? shift_left(high.get(), 8) : Ref();
    Ref low = shifted ? answer.item(8) : Ref();
    Ref steps = low ? add(shifted.get(), low.get()) : Ref();
    return steps ? multiply(steps.get(), kMdbPerStep) : Ref();
}

}  // namespace

Ref read_current_status(const Call& call) noexcept {
    Ref frame = command_template(call, Cmd::ReadCurrentStatus);
    Answer answer;
    if (!frame || !store_item(frame.get(), 1, call.arg(1)) || !ask(call, frame.get(), true, answer)) return {};
    int framed = answer.framed();
    if (framed < 0) return {};
    if (!framed) return Ref::borrow(Py_None);

    const Names& n = call.names();
    Ref status = Ref::steal(PyDict_New());
    Ref work_mode = status ? answer.item(5) : Ref();
    if (!work_mode || PyDict_SetItem(status.get(), n.key_dev_work_mode, work_mode.get()) < 0) return {};
    Ref wavelength_index = answer.item(7);
    if (!wavelength_index || PyDict_SetItem(status.get(), n.key_optical_length_index, wavelength_index.get()) < 0)
        return {};
    Ref attenuation = attenuation_mdb(answer);
    if (!attenuation || PyDict_SetItem(status.get(), n.key_attenuation, attenuation.get()) < 0) return {};
    return status;
}

}  // namespace kq
