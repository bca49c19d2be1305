#include "surface/method_table.hpp"

#include "operations/operations.hpp"
#include "wire/checksum.hpp"
#include "wire/exchange.hpp"

namespace kq2741::driver {

namespace {

constexpr Param kSelf{Arg::Self, "self", ArgType::Object};
constexpr Param kSerialPort{Arg::SerialPort, "serial_port", ArgType::Str};
constexpr Param kFrame{Arg::Frame, "data", ArgType::List};
constexpr Param kLength{Arg::Length, "length", ArgType::Int};
constexpr Param kAttenuation{Arg::Attenuation, "attenuation", ArgType::Int};
constexpr Param kChannel{Arg::Channel, "ch", ArgType::Int, true, 1};

constexpr Param kOnlySelf[] = {kSelf};
constexpr Param kInitParams[] = {kSelf, kSerialPort};
constexpr Param kFrameParams[] = {kSelf, kFrame};
constexpr Param kChannelParams[] = {kSelf, kChannel};
constexpr Param kLengthParams[] = {kSelf, kLength, kChannel};
constexpr Param kAttenuationParams[] = {kSelf, kAttenuation, kChannel};

}  // namespace

const std::array<MethodSpec, kMethodCount> kMethods = {{
    {"__init__", kInitParams, Declared::Nothing, Guard::None,
     "Remember the serial port to use; nothing is opened yet.\n\n"
     "Port names are 'COM3', 'COM4' ... on Windows and '/dev/ttyUSB0',\n"
     "'/dev/ttyUSB1' ... on Linux and macOS.",
     driver_init},
    {"__check_crc", kFrameParams, Declared::Bool, Guard::None,
     "Verify the checksum of a received frame, given as a list of bytes.\n\n"
     "True when the byte before the frame end is the two's complement of the\n"
     "sum of the bytes in front of it.",
     check_crc},
    {"__cal_crc", kFrameParams, Declared::None, Guard::None,
     "Compute the checksum of a frame to be sent, given as a list of bytes,\n"
     "and store it in the byte before the frame end.",
     cal_crc},
    {"__read", kOnlySelf, Declared::Nothing, Guard::Operation,
     "Read the serial data waiting on the port: the bytes, or None when\n"
     "nothing has arrived.",
     read_waiting},
    {"read_device_version", kOnlySelf, Declared::Nothing, Guard::Operation,
     "Read the device version (module, hardware, software).\n\n"
     "Returns a dict with the keys 'module_version', 'hard_version' and\n"
     "'soft_version', for example {'module_version': 2, 'hard_version': 50,\n"
     "'soft_version': 32}, or None when no valid answer arrived.",
     read_device_version},
    {"read_optical_length", kChannelParams, Declared::Nothing, Guard::Operation,
     "Read the wavelengths (nm) that channel ch supports, as a list such as\n"
     "[1310, 1490, 1535]; None when no valid answer arrived.",
     read_optical_length},
    {"set_optical_length", kLengthParams, Declared::Nothing, Guard::Operation,
     "Set the wavelength (nm) of channel ch; True on success.\n\n"
     "Raises RuntimeError when the channel's wavelength list cannot be read\n"
     "and ValueError when the channel does not support the wavelength.",
     set_optical_length},
    {"read_current_status", kChannelParams, Declared::Nothing, Guard::Operation,
     "Read the status of channel ch as a dict:\n\n"
     "'dev_work_mode'         always 0 on this instrument,\n"
     "'optical_length_index'  position of the channel's wavelength in the list\n"
     "                        read_optical_length returns,\n"
     "'attenuation'           in mdB (1 dB = 1000 mdB; precision 0.01 dB).\n\n"
     "None when no valid answer arrived.",
     read_current_status},
    {"close_full_screen", kOnlySelf, Declared::Bool, Guard::Operation,
     "Close the instrument's full-screen display; True on success.", close_full_screen},
    {"set_attenuation", kAttenuationParams, Declared::Bool, Guard::Operation,
     "Set the attenuation of channel ch, given in mdB (1 dB = 1000 mdB).\n\n"
     "The instrument works in 0.01 dB steps; the part below one step is\n"
     "dropped. True on success.",
     set_attenuation},
    {"clear_attenuation", kChannelParams, Declared::Bool, Guard::Operation,
     "Clear the attenuation of channel ch; True on success.", clear_attenuation},
    {"dis_connection", kChannelParams, Declared::Nothing, Guard::Operation, "Disconnect channel ch; True on success.",
     dis_connection},
    {"check_port_available", kOnlySelf, Declared::Bool, Guard::None,
     "Check whether the serial port is free (no program holds it open);\n"
     "True if available.",
     check_port_available},
    {"open", kOnlySelf, Declared::Bool, Guard::Operation,
     "Open the serial port (115200 baud, 8N1) after checking it is free;\n"
     "True on success.",
     driver_open},
    {"close", kOnlySelf, Declared::Nothing, Guard::Operation, nullptr, driver_close},
}};

PyTypeObject* python_type(ArgType type) noexcept {
    switch (type) {
        case ArgType::Str: return &PyUnicode_Type;
        case ArgType::Int: return &PyLong_Type;
        case ArgType::List: return &PyList_Type;
        case ArgType::Object: break;
    }
    return nullptr;
}

}  // namespace kq2741::driver
