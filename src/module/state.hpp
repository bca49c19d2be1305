// Per-module state: the method object type and the interned names and
// constants the driver uses on every call, so no call builds a string.
#pragma once

#include <array>

#include "link/ref.hpp"
#include "link/templates.hpp"

namespace kq {

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

struct Names {
#define KQ_DECLARE_NAME(field, text) PyObject* field;
    KQ_NAMES(KQ_DECLARE_NAME)
#undef KQ_DECLARE_NAME
};

struct ModuleState {
    PyTypeObject* method_type;   // kq2741.function
    Names names;
    std::array<PyObject*, kCommandCount> template_names;  // by Cmd
    PyObject* wait_seconds;      // 0.2: the fixed wait between write and read
    PyObject* sum;               // builtins.sum: defines the checksum's arithmetic
    PyObject* open_kwnames;      // ("timeout", "stopbits") for serial.Serial
    PyObject* run_kwnames;       // ("stdout", "stderr") for subprocess.run
};

inline ModuleState* state_of(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

int state_init(ModuleState* st) noexcept;
int state_traverse(ModuleState* st, visitproc visit, void* arg) noexcept;
void state_clear(ModuleState* st) noexcept;

}  // namespace kq
