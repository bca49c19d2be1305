// Every name the driver binds or looks up, written once and grouped by its
// owner. The module state interns each list when the module is executed
// (core/state.cpp); a name with two leading underscores is class-private
// and is interned as the class mangles it ("__read" becomes "_KQ2741__read").
//
// The header is free of Python. Of the programs, only the demonstration
// program includes it (launcher/main.cpp), for the module's name and its
// default port.
#pragma once

#include <cstddef>

#define KQ2741_MODULE_NAME "kq2741"
#define KQ2741_DEFAULT_PORT "/dev/cu.PL2303G-USBtoUART2110"

namespace kq2741::driver {

inline constexpr char kModuleName[] = KQ2741_MODULE_NAME;
inline constexpr char kClassName[] = "KQ2741";
// The port the demonstration opens when it is given none.
inline constexpr char kDefaultPort[] = KQ2741_DEFAULT_PORT;

// X(group, field, text): the field of ModuleState::<group> that holds the
// interned text.

// The driver object's attributes and the methods it calls on itself, looked
// up through the object so that an instance or a subclass may replace them.
#define KQ_OBJECT_NAMES(X)                                  \
    X(object, ser, "ser")                                   \
    X(object, port, "port")                                 \
    X(object, check_port_available, "check_port_available") \
    X(object, read_optical_length, "read_optical_length")   \
    X(object, cal_crc, "__cal_crc")                         \
    X(object, read, "__read")

// The module's globals, imported in this order when the module is executed,
// and looked up in the module at every call.
#define KQ_GLOBAL_NAMES(X)              \
    X(globals, platform, "platform")    \
    X(globals, serial, "serial")        \
    X(globals, time, "time")            \
    X(globals, subprocess, "subprocess")

// The serial library: its module and a connection.
#define KQ_SERIAL_NAMES(X)                          \
    X(serial, Serial, "Serial")                     \
    X(serial, SerialException, "SerialException")   \
    X(serial, write, "write")                       \
    X(serial, inWaiting, "inWaiting")               \
    X(serial, read, "read")                         \
    X(serial, close, "close")

// The rest of the interpreter: the standard library, the builtins, and
// methods of built-in types.
#define KQ_PYTHON_NAMES(X)              \
    X(python, sleep, "sleep")           \
    X(python, system, "system")         \
    X(python, run, "run")               \
    X(python, PIPE, "PIPE")             \
    X(python, stdout_, "stdout")        \
    X(python, print, "print")           \
    X(python, lower, "lower")           \
    X(python, index, "index")           \
    X(python, replace, "replace")

// Text values the driver passes or compares.
#define KQ_TEXTS(X)                     \
    X(texts, windows, "windows")        \
    X(texts, lsof, "lsof")              \
    X(texts, parity_none, "N")

// Keys of the dictionaries the queries return, in the order they are inserted.
#define KQ_RESULT_KEYS(X)                                    \
    X(keys, module_version, "module_version")                \
    X(keys, hard_version, "hard_version")                    \
    X(keys, soft_version, "soft_version")                    \
    X(keys, dev_work_mode, "dev_work_mode")                  \
    X(keys, optical_length_index, "optical_length_index")    \
    X(keys, attenuation, "attenuation")

#define KQ_ALL_NAMES(X) \
    KQ_OBJECT_NAMES(X) KQ_GLOBAL_NAMES(X) KQ_SERIAL_NAMES(X) KQ_PYTHON_NAMES(X) KQ_TEXTS(X) KQ_RESULT_KEYS(X)

// The command templates, class attributes in the order the class binds them.
// The C++ names are the instrument's commands (as in protocol/requests.hpp);
// the texts are the attributes' names on the class.
#define KQ_TEMPLATES(X)                                   \
    X(Version, "__CMD_READ_DEV_VER")                      \
    X(WavelengthList, "__CMD_READ_OPTICAL_LEN")           \
    X(Status, "__CMD_READ_CURRENT_STATUS")                \
    X(FullScreenClose, "__CMD_CLOSE_FULLSCREEN")          \
    X(SelectWavelength, "__CMD_SET_OPTICAL_LEN")          \
    X(SetAttenuation, "__CMD_SET_ATTENUATION")            \
    X(Clear, "__CMD_CLEAR_ATTENUATION")                   \
    X(Disconnect, "__CMD_DIS_CONNECT")

enum class Template {
#define KQ_TEMPLATE_ID(id, attribute) id,
    KQ_TEMPLATES(KQ_TEMPLATE_ID)
#undef KQ_TEMPLATE_ID
};

inline constexpr const char* kTemplateAttributes[] = {
#define KQ_TEMPLATE_ATTRIBUTE(id, attribute) attribute,
    KQ_TEMPLATES(KQ_TEMPLATE_ATTRIBUTE)
#undef KQ_TEMPLATE_ATTRIBUTE
};
inline constexpr std::size_t kTemplateCount = sizeof kTemplateAttributes / sizeof kTemplateAttributes[0];

}  // namespace kq2741::driver
