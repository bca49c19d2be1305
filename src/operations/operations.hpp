// The bodies of the class's methods that act on the instrument: the driver
// object's life on its port (construction, open, close, the check whether
// another program holds the port), and the instrument's commands, one
// exchange each (two for the wavelength selection) with the answer decoded
// by position. The method table names each one.
#pragma once

#include "core/call.hpp"

namespace kq2741::driver {

// open_close.cpp, port_check.cpp
Ref driver_init(const Call& call) noexcept;
Ref driver_open(const Call& call) noexcept;
Ref driver_close(const Call& call) noexcept;
Ref check_port_available(const Call& call) noexcept;

// version.cpp, display.cpp, wavelength.cpp, status.cpp, attenuation.cpp
Ref read_device_version(const Call& call) noexcept;
Ref close_full_screen(const Call& call) noexcept;
Ref read_optical_length(const Call& call) noexcept;
Ref set_optical_length(const Call& call) noexcept;
Ref read_current_status(const Call& call) noexcept;
Ref set_attenuation(const Call& call) noexcept;
Ref clear_attenuation(const Call& call) noexcept;
Ref dis_connection(const Call& call) noexcept;

}  // namespace kq2741::driver
