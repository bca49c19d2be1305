// The names the driver binds and looks up, written once. Each list is
// interned into the module state when the module is executed.
#pragma once

#include <cstddef>
#include <iterator>

namespace kq {

// The port the demonstration uses when it is given none.
#define KQ2741_DEFAULT_PORT "/dev/cu.PL2303G-USBtoUART2110"
inline constexpr char kDefaultPort[] = KQ2741_DEFAULT_PORT;

// Attribute, global and keyword names used by the driver.
#define KQ_NAMES(X)                                               \
    X(ser, "ser")                                                 \
    X(port, "port")                                               \
    X(write, "write")                                             \
    X(inWaiting, "inWaiting")                                     \
    X(read, "read")                                               \
    X(close, "close")                                             \
    X(sleep, "sleep")                                             \
    X(index, "index")                                             \
    X(lower, "lower")                                             \
    X(system, "system")                                           \
    X(run, "run")                                                 \
    X(PIPE, "PIPE")                                               \
    X(stdout_, "stdout")                                          \
    X(Serial, "Serial")                                           \
    X(SerialException, "SerialException")                         \
    X(print, "print")                                             \
    X(replace, "replace")                                         \
    X(g_serial, "serial")                                         \
    X(g_time, "time")                                             \
    X(g_subprocess, "subprocess")                                 \
    X(g_platform, "platform")                                     \
    X(windows, "windows")                                         \
    X(lsof, "lsof")                                               \
    X(parity_none, "N")                                           \
    X(cal_crc, "_KQ2741__cal_crc")                                \
    X(read_waiting, "_KQ2741__read")                              \
    X(check_port_available, "check_port_available")               \
    X(read_optical_length, "read_optical_length")                 \
    X(key_module_version, "module_version")                       \
    X(key_hard_version, "hard_version")                           \
    X(key_soft_version, "soft_version")                           \
    X(key_dev_work_mode, "dev_work_mode")                         \
    X(key_optical_length_index, "optical_length_index")           \
    X(key_attenuation, "attenuation")

// The command templates, in the order the class binds them, with the names
// they carry on the class as seen from outside it.
#define KQ_TEMPLATES(X)                                           \
    X(ReadDevVer, "_KQ2741__CMD_READ_DEV_VER")                    \
    X(ReadOpticalLen, "_KQ2741__CMD_READ_OPTICAL_LEN")            \
    X(ReadCurrentStatus, "_KQ2741__CMD_READ_CURRENT_STATUS")      \
    X(CloseFullscreen, "_KQ2741__CMD_CLOSE_FULLSCREEN")           \
    X(SetOpticalLen, "_KQ2741__CMD_SET_OPTICAL_LEN")              \
    X(SetAttenuation, "_KQ2741__CMD_SET_ATTENUATION")             \
    X(ClearAttenuation, "_KQ2741__CMD_CLEAR_ATTENUATION")         \
    X(DisConnect, "_KQ2741__CMD_DIS_CONNECT")

enum class Cmd {
#define KQ_TEMPLATE_ID(id, name) id,
    KQ_TEMPLATES(KQ_TEMPLATE_ID)
#undef KQ_TEMPLATE_ID
};

inline constexpr const char* kTemplateAttributes[] = {
#define KQ_TEMPLATE_ATTRIBUTE(id, name) name,
    KQ_TEMPLATES(KQ_TEMPLATE_ATTRIBUTE)
#undef KQ_TEMPLATE_ATTRIBUTE
};
inline constexpr std::size_t kCommandCount = std::size(kTemplateAttributes);

}  // namespace kq
