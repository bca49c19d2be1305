// One call of a driver method: its module and its arguments, parsed by the
// method table's rules, defaults filled in, and found by what they are
// rather than by position.
#pragma once

#include <array>

#include "core/state.hpp"

namespace kq2741::driver {

// What each parameter of a method is. The method table gives every
// parameter one of these; a method reads its arguments through them.
enum class Arg {
    Self,         // the driver object
    SerialPort,   // __init__: the port's name
    Frame,        // __cal_crc, __check_crc: a frame as a list of byte values
    Length,       // set_optical_length: a wavelength in nm
    Attenuation,  // set_attenuation: mdB
    Channel,      // ch: the channel byte of the request
    Count,
};

struct Call {
    ModuleState& st;
    Borrowed module;
    std::array<Borrowed, static_cast<size_t>(Arg::Count)> args;  // by Arg; null where the method has none

    Borrowed self() const noexcept { return arg(Arg::Self); }
    Borrowed arg(Arg which) const noexcept { return args[static_cast<size_t>(which)]; }
};

}  // namespace kq2741::driver
