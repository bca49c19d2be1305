// Per-module state: the interned names and the constants the driver uses on
// every call (so no call builds a string), the operation lock, and the type
// of the method objects.
#pragma once

#include <array>

#include "core/names.hpp"
#include "cpython/ref.hpp"

#include <pythread.h>

namespace kq2741::driver {

using cpython::Borrowed;
using cpython::Ref;

// One instrument operation at a time, across every driver object of the
// module and every thread: the command templates are class state that each
// operation patches and then sends, and a port carries one request at a time.
// A method's call holds it when its row of the method table says so
// (surface/method_call.cpp); it is re-entrant, so an operation may call
// another on the same thread (the wavelength selection reads the list first;
// a connection may call back into the driver).
//
// All zero is the state of a module not yet executed; every field is read
// and written with the GIL held.
struct OperationLock {
    PyThread_type_lock mutex;
    unsigned long owner;   // thread ident of the holder, meaningful while depth > 0
    unsigned long depth;
};

#define KQ_NAME_FIELD(group, field, text) PyObject* field;
struct ObjectNames { KQ_OBJECT_NAMES(KQ_NAME_FIELD) };
struct GlobalNames { KQ_GLOBAL_NAMES(KQ_NAME_FIELD) };
struct SerialNames { KQ_SERIAL_NAMES(KQ_NAME_FIELD) };
struct PythonNames { KQ_PYTHON_NAMES(KQ_NAME_FIELD) };
struct Texts { KQ_TEXTS(KQ_NAME_FIELD) };
struct ResultKeys { KQ_RESULT_KEYS(KQ_NAME_FIELD) };
#undef KQ_NAME_FIELD

struct ModuleState {
    ObjectNames object;
    GlobalNames globals;
    SerialNames serial;
    PythonNames python;
    Texts texts;
    ResultKeys keys;
    std::array<PyObject*, kTemplateCount> templates;  // attribute names, by Template
    PyObject* wait_seconds;      // 0.2: the fixed wait between write and read
    PyObject* sum;               // builtins.sum: defines the checksum's arithmetic
    PyObject* open_kwnames;      // ("timeout", "stopbits") for serial.Serial
    PyObject* run_kwnames;       // ("stdout", "stderr") for subprocess.run
    PyTypeObject* method_type;   // kq2741.function
    OperationLock lock;
};

inline ModuleState* state_of(PyObject* module) noexcept {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The name a class attribute is bound under: a class-private "__x" becomes
// "_KQ2741__x", as the class's own code would spell it; others stay.
Ref class_attribute_name(const char* name) noexcept;

int state_init(ModuleState* st) noexcept;
int state_traverse(ModuleState* st, visitproc visit, void* arg) noexcept;
void state_clear(ModuleState* st) noexcept;
void state_free(ModuleState* st) noexcept;

}  // namespace kq2741::driver
