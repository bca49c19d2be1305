#include "core/state.hpp"

#include <cstring>

namespace kq2741::driver {

namespace {

bool lock_init(OperationLock& lock) noexcept {
    lock.mutex = PyThread_allocate_lock();
    lock.owner = 0;
    lock.depth = 0;
    if (!lock.mutex) PyErr_NoMemory();
    return lock.mutex != nullptr;
}

void lock_free(OperationLock& lock) noexcept {
    // A daemon thread may still hold it while the interpreter shuts down;
    // the lock then outlives the module rather than being freed under it.
    if (lock.mutex && lock.depth == 0) PyThread_free_lock(lock.mutex);
    lock.mutex = nullptr;
}

}  // namespace

Ref class_attribute_name(const char* name) noexcept {
    const size_t length = std::strlen(name);
    const bool private_name = length > 2 && std::strncmp(name, "__", 2) == 0 && std::strcmp(name + length - 2, "__") != 0;
    if (!private_name) return Ref::steal(PyUnicode_InternFromString(name));
    Ref mangled = Ref::steal(PyUnicode_FromFormat("_%s%s", kClassName, name));
    if (!mangled) return {};
    PyObject* interned = mangled.release();
    PyUnicode_InternInPlace(&interned);
    return Ref::steal(interned);
}

int state_init(ModuleState* st) noexcept {
#define KQ_INTERN(group, field, text) \
    if (!(st->group.field = class_attribute_name(text).release())) return -1;
    KQ_ALL_NAMES(KQ_INTERN)
#undef KQ_INTERN
    for (size_t i = 0; i < kTemplateCount; ++i)
        if (!(st->templates[i] = class_attribute_name(kTemplateAttributes[i]).release())) return -1;
    if (!lock_init(st->lock)) return -1;
    if (!(st->wait_seconds = PyFloat_FromDouble(0.2))) return -1;
    if (!(st->open_kwnames = Py_BuildValue("(ss)", "timeout", "stopbits"))) return -1;
    if (!(st->run_kwnames = Py_BuildValue("(ss)", "stdout", "stderr"))) return -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    if (!(st->sum = PyObject_GetAttrString(builtins.get(), "sum"))) return -1;
    return 0;
}

int state_traverse(ModuleState* st, visitproc visit, void* arg) noexcept {
    Py_VISIT(st->method_type);
    Py_VISIT(st->sum);
    return 0;
}

void state_clear(ModuleState* st) noexcept {
#define KQ_CLEAR(group, field, text) Py_CLEAR(st->group.field);
    KQ_ALL_NAMES(KQ_CLEAR)
#undef KQ_CLEAR
    for (PyObject*& name : st->templates) Py_CLEAR(name);
    Py_CLEAR(st->wait_seconds);
    Py_CLEAR(st->sum);
    Py_CLEAR(st->open_kwnames);
    Py_CLEAR(st->run_kwnames);
    Py_CLEAR(st->method_type);
}

void state_free(ModuleState* st) noexcept {
    state_clear(st);
    lock_free(st->lock);
}

}  // namespace kq2741::driver
