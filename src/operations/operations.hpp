// The instrument operations: one exchange each (two for the wavelength
// selection), then the answer decoded by position.
#pragma once

#include "core/call.hpp"

namespace kq {

Ref read_device_version(const Call& call) noexcept;
Ref close_full_screen(const Call& call) noexcept;
Ref read_optical_length(const Call& call) noexcept;
Ref set_optical_length(const Call& call) noexcept;
Ref read_current_status(const Call& call) noexcept;
Ref set_attenuation(const Call& call) noexcept;
Ref clear_attenuation(const Call& call) noexcept;
Ref dis_connection(const Call& call) noexcept;

}  // namespace kq
