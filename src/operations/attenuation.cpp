// Attenuation of one channel: set (given in mdB, sent as 0.01 dB steps),
// clear, and the disconnect that shares clear's command code. Each is one
// exchange on the call's channel, True when the answer came back framed.
#include "core/python_ops.hpp"
#include "operations/operations.hpp"
#include "protocol/units.hpp"
#include "wire/exchange.hpp"

namespace kq2741::driver {

Ref set_attenuation(const Call& call) noexcept {
    // Whole 0.01 dB steps: the part below one step is dropped, not rounded.
    Ref steps = truncated_quotient(call.arg(Arg::Attenuation), kq2741::protocol::kMdbPerStep);
    if (!steps) return {};
    Ref low = mask(steps.get(), 0xFF);
    if (!low) return {};
    Ref frame = command_template(call, Template::SetAttenuation);
    if (!frame) return {};
    if (!store_item(frame.get(), kPayloadByte, low.get())) return {};
    // Not masked: a step count beyond 16 bits leaves a value no byte can hold,
    // and the serial layer refuses the frame instead of sending a wrong one.
    Ref high = shift_right(steps.get(), 8);
    if (!high) return {};
    if (!store_item(frame.get(), kPayloadByte + 1, high.get())) return {};
    return send_on_channel(call, frame.get());
}

Ref clear_attenuation(const Call& call) noexcept {
    Ref frame = command_template(call, Template::Clear);
    if (!frame) return {};
    return send_on_channel(call, frame.get());
}

Ref dis_connection(const Call& call) noexcept {
    Ref frame = command_template(call, Template::Disconnect);
    if (!frame) return {};
    return send_on_channel(call, frame.get());
}

}  // namespace kq2741::driver
