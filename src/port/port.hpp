// The driver object's life on its port: construction, open, close, and the
// check whether another program holds the port.
#pragma once

#include "core/call.hpp"

namespace kq {

Ref driver_init(const Call& call) noexcept;
Ref driver_open(const Call& call) noexcept;
Ref driver_close(const Call& call) noexcept;
Ref check_port_available(const Call& call) noexcept;

}  // namespace kq
