// Attenuation of one channel: set (given in mdB, sent as 0.01 dB steps),
// clear, and the disconnect that shares clear's command code.
#include "commands/answer.hpp"
#include "commands/commands.hpp"
#include "core/arith.hpp"
#include "link/exchange.hpp"
#include "core/pyops.hpp"

namespace kq {

namespace {

// Writes the channel into the frame, sends it, and reports whether the
// answer came back framed.
Ref send_to_channel(const Call& call, Borrowed frame, Borrowed channel) noexcept {
    Answer answer;
    if (!store_item(frame, 1, channel) || !ask(call, frame, true, answer)) return {};
    return framed_result(answer);
}

Ref send_fixed_payload(const Call& call, Cmd cmd) noexcept {
    Ref frame = command_template(call, cmd);
    return frame ? send_to_channel(call, frame.get(), call.arg(1)) : Ref();
}

}  // namespace

Ref set_attenuation(const Call& call) noexcept {
    // Whole 0.01 dB steps: the part below one step is dropped, not rounded.
    Ref steps = truncated_tenth(call.arg(1));
    Ref low = steps ? mask(steps.get(), 0xFF) : Ref();
    Ref frame = low ? command_template(call, Cmd::SetAttenuation) : Ref();
    if (!frame || !store_item(frame.get(), 5, low.get())) return {};
    // Not masked: a step count beyond 16 bits leaves a value no byte can hold,
    // and the serial layer refuses the frame instead of sending a wrong one.
    Ref high = shift_right(steps.get(), 8);
    if (!high || !store_item(frame.get(), 6, high.get())) return {};
    return send_to_channel(call, frame.get(), call.arg(2));
}

Ref clear_attenuation(const Call& call) noexcept { return send_fixed_payload(call, Cmd::ClearAttenuation); }

Ref dis_connection(const Call& call) noexcept { return send_fixed_payload(call, Cmd::DisConnect); }

}  // namespace kq
