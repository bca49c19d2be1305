// Per-module state: the method object type and the interned names and
// constants the driver uses on every call, so no call builds a string.
#pragma once

#include <array>

#include "core/lock.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"

namespace kq {

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
    OperationLock lock;          // held by every operation on a template or the connection
};

inline ModuleState* state_of(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

int state_init(ModuleState* st) noexcept;
int state_traverse(ModuleState* st, visitproc visit, void* arg) noexcept;
void state_clear(ModuleState* st) noexcept;
void state_free(ModuleState* st) noexcept;

}  // namespace kq
