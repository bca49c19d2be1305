// The display's full-screen close: a request sent exactly as stored.
#include "operations/operations.hpp"
#include "wire/exchange.hpp"

namespace kq2741::driver {

Ref close_full_screen(const Call& call) noexcept {
    Ref frame = command_template(call, Template::FullScreenClose);
    if (!frame) return {};
    Answer answer;
    if (!exchange(call, frame.get(), Checksum::AsStored, answer)) return {};
    return framed_result(answer);
}

}  // namespace kq2741::driver
